#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/)
and the regression inputs (tests/fuzz/repro/<target>/).

Each seed is laid out the way its target decodes its input; the comments
name the fields. Run it again after changing a target's input layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(kind, target, name, data):
    folder = os.path.join(HERE, kind, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


ACK = b"AT+OTA=E3:1\r"

# fuzz_fromhex: the bytes are the text.
for name, text in {
    "pairs-with-blanks": b"01 02 ff",
    "pairs-packed": b"0102ff",
    "odd-runs": b"abc def",
    "rejected-pair": b"0g 12",
    "comma": b"12,34 12, 34",
    "utf8-mixed": "é 1 2 ＡＢ\t0a".encode("utf-8"),
    "utf16-halves": "AB cd 7".encode("utf-16-le"),
}.items():
    write("corpus", "fuzz_fromhex", name, text)

# fuzz_reply: byte 0 = mode (low two bits, 3 counting as 0) | running (bit 2)
# | ready (bit 3, mode 0 only).
RUNNING = 0x04
READY = 0x08


def chunk(data):
    """Mode 0: a chunk op (length - 1 in the low six bits) and its bytes."""
    assert 1 <= len(data) <= 64
    return bytes([len(data) - 1]) + data


TICK = b"\xc0"

write("corpus", "fuzz_reply", "raw-ack-then-tick",
      bytes([0 | RUNNING]) + chunk(ACK) + TICK + chunk(b"\0" * 8) + TICK)
write("corpus", "fuzz_reply", "raw-split-ack",
      bytes([0 | RUNNING]) + chunk(b"\0\0AT+OTA=") + TICK + chunk(b"E3:1\r\0") + TICK)
write("corpus", "fuzz_reply", "raw-idle-ready-variants",
      bytes([0 | READY]) + TICK + bytes([0xF1, 63]) + TICK + bytes([0xF2, 63]) + TICK
      + bytes([0xF3, 63]) + TICK + bytes([0xF7, 63]) + TICK)
write("corpus", "fuzz_reply", "raw-long-line",
      # 'A' and 236 x without CR, in four chunks, then an acknowledgement
      # line that the 240-byte limit cuts through
      bytes([0 | RUNNING]) + bytes([0xE1, 0x05, ord("x"), 0x00, 63, 63, 63, 63]) + chunk(ACK) + TICK)


def ack_stream(lines):
    """Mode 1: per line a noise count, noise bytes, then cut lengths (and a
    tick flag after every cut that does not end the line)."""
    out = bytearray([1 | RUNNING])
    for noise, cuts in lines:
        out.append(len(noise))
        out += noise
        assert sum(cuts) == len(noise) + len(ACK)
        for i, c in enumerate(cuts):
            out.append(c - 1)
            if i + 1 < len(cuts):
                out.append(1)  # tick after an incomplete cut: nothing may go
    return bytes(out)


write("corpus", "fuzz_reply", "acks-cut-with-noise",
      ack_stream([(b"\0\r\n", [2, 5, 8]), (b"", [12]), (b"\x7f", [1] * 13)]))


def long_line(fill):
    """Mode 2: filler length (two bytes, big-endian), then its bytes (the
    target pads with 'x'), chunk lengths default to 64."""
    return bytes([2 | RUNNING]) + struct.pack(">H", fill)


for fill in (228, 229, 239, 240):
    write("corpus", "fuzz_reply", "long-line-%d" % fill, long_line(fill))


# fuzz_loading: byte 0 = folder kind (value % 8: 0 none, 1 a file, else a
# folder) | config kind ((value >> 3) % 8: 0 none, 1 and 6 generated, 2 and 7
# raw, 3 a folder, 4 a FIFO, 5 a link to a generated file); then the entry
# count and the entries; then the config.
def name(text):
    """Name pieces: a-z 0..25, A-Z 26..51, 52 + index into the ASCII list."""
    ascii_list = "0123456789._[ ~-`^{}#%@!=+,;'()$&\t\n\x01\x7f\\*?:<>|\""
    out = bytearray([len(text) - 1])
    for c in text:
        if "a" <= c <= "z":
            out.append(ord(c) - ord("a"))
        elif "A" <= c <= "Z":
            out.append(26 + ord(c) - ord("A"))
        else:
            out += bytes([52, ascii_list.index(c)])
    return bytes(out)


def regular(text, content, hidden=False):
    assert len(content) < 200
    return bytes([0 | (0x80 if hidden else 0)]) + name(text) + bytes([len(content)]) + content


def folder(text):
    return bytes([4]) + name(text)


def fifo(text):
    return bytes([5]) + name(text)


def link(text, target_index):
    return bytes([6]) + name(text) + bytes([target_index])


def loading(config_kind, entries, config=b""):
    return bytes([2 | (config_kind << 3), len(entries)]) + b"".join(entries) + config


write("corpus", "fuzz_loading", "case-ignored",
      loading(0, [regular("b.bin", b"second"), regular("A.bin", b"first image")]))
write("corpus", "fuzz_loading", "folder-and-hidden-sort-first",
      loading(0, [folder("a"), regular("a.bin", b"hidden", hidden=True), regular("z.bin", b"z" * 61)]))
write("corpus", "fuzz_loading", "bracket-between-cases",
      loading(0, [regular("B[x", b"upper B"), regular("[x", b"bracket")]))
write("corpus", "fuzz_loading", "no-folder", bytes([0]))
write("corpus", "fuzz_loading", "empty-image", loading(0, [regular("e", b"")]))
# Generated config: flags (bit 0 CRLF, bit 1 BOM), line count, lines
# (0/1 [load], 2 another section, 3/4 sleep=number, 5 comment, 6 other key).
write("corpus", "fuzz_loading", "config-duplicate-keys",
      loading(1, [regular("fw", b"1234567890")],
              # BOM, CRLF; [load] sleep=250, then sleep=75: the last one counts
              bytes([0x03, 3, 0, 3, 2, 2, 5, 0, 0, 4, 1, 7, 5, 0])))
write("corpus", "fuzz_loading", "config-raw",
      loading(2, [regular("fw", b"abc")], b"\xef\xbb\xbf[load]\nsleep=250\nsleep=99999999999\n\xff\xfe"))
write("corpus", "fuzz_loading", "fifo-and-link-to-file",
      loading(0, [fifo("a"), regular("c", b"content"), link("b", 1)]))

write("corpus", "fuzz_loading", "config-through-link",
      loading(5, [regular("fw", b"xyz")], bytes([0x00, 2, 0, 3, 2, 2, 5, 0, 0])))

# A link to a FIFO: the tool once listed the link as a file and blocked in open().
write("repro", "fuzz_loading", "link-to-fifo-hangs", loading(0, [fifo("b"), link("a", 0)]))
# config.ini is a FIFO: reading the settings once blocked in open().
write("repro", "fuzz_loading", "config-fifo-hangs", loading(4, [regular("fw", b"xyz")]))
