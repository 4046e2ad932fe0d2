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

# fuzz_engine: a header, then one event per opcode byte (fuzz_engine.cpp).
# Header byte: bits 0-3 the driver (0 the engine as the window drives it,
# 8 as the command line does, 15 the window), bits 4-6 the acknowledgement
# time-out (index into 0, 1, 10, 50, 200, 1000, 3000, 5 ms), bit 7 no
# transfer at the start; then the image's size (index into 0, 1, 59, 60, 61,
# 119, 120, 121, 180, 600, 601, 1799, 3000, 6007), its seed and the interval
# (index into 1, 2, 5, 10, 20, 50, 100, 1000 ms).
PATIENT, STRICT, WINDOW = 0, 8, 15
NO_START = 0x80
TICK, RESULT, DELIVER, RESULTS, RUN, DROP, DOUBLE, STYLE, WRITES = 0, 4, 5, 7, 8, 9, 10, 11, 12
UNPLUG, REPLUG, CHANGED, READ_FAILED, STOP_START, CONNECTION = 13, 14, 15, 16, 17, 18
IMAGE, INTERVAL, STALE_TICK, RAW, ACK_TIMEOUT = 19, 20, 21, 22, 23
# The same event while a transfer runs: a reply of an attempt before it.
LATE_REPLY = STALE_TICK
# Reply styles: 0 padded report, 1 bare line, 2 split (bits 3-7 where),
# 3 noise around the line, 4 two lines at once, 5 refusal, 6 silence,
# 7 split with padding.
PADDED, BARE, SPLIT, NOISE, TWO_LINES, REFUSAL, SILENT, PADDED_SPLIT = range(8)
# WRITES argument: low two bits 0 the next 1 + (b >> 2) % 3 writes fail,
# 1 the next writes nothing, 2 the board holds the next write (1 + (b >> 2)
# * 40 ms, until a RESULT or RESULTS ends it) and takes it, 3 the same and
# the write fails.
FAIL, SHORT, HOLD, HOLD_FAIL = range(4)


def engine(driver, size, events, timeout=0, start=True, interval=0, seed=1):
    head = driver | (timeout << 4) | (0 if start else NO_START)
    return bytes([head, size, seed, interval]) + bytes(events)


def run(n=127):
    return [RUN, n]



every_size = []
for i, size in enumerate([0, 1, 2, 3, 4, 7, 9, 13]):
    every_size += [IMAGE, size, i + 1, STOP_START] + run()
write("corpus", "fuzz_engine", "patient-sizes", engine(PATIENT, 0, every_size, start=False))
# The command line makes one transfer and exits.
for size in [0, 4, 13]:
    write("corpus", "fuzz_engine", "strict-size-%d" % size, engine(STRICT, size, run(), 5))
for name, driver, timeout in [("patient", PATIENT, 0), ("strict", STRICT, 5)]:
    write("corpus", "fuzz_engine", name + "-whole-600", engine(driver, 9, run(), timeout))
    write("corpus", "fuzz_engine", name + "-reply-styles",
          engine(driver, 10, [STYLE, BARE] + run(2) + [STYLE, SPLIT | 3 << 3] + run(2)
                 + [STYLE, NOISE] + run(2) + [STYLE, PADDED_SPLIT | 9 << 3] + run(2)
                 + [STYLE, REFUSAL, TICK, TICK, DELIVER, TICK, STYLE, PADDED] + run(), timeout))
    write("corpus", "fuzz_engine", name + "-late-and-lost",
          engine(driver, 5, [TICK, TICK, TICK, DELIVER, TICK, TICK, TICK, DROP, TICK, TICK, ACK_TIMEOUT,
                             STOP_START, STOP_START] + run(), timeout))
    write("corpus", "fuzz_engine", name + "-doubled",
          engine(driver, 10, [STYLE, TWO_LINES] + run(3) + [STYLE, PADDED, TICK, DOUBLE, DELIVER, TICK,
                                                         DELIVER, TICK] + run(), timeout))
    write("corpus", "fuzz_engine", name + "-writes-fail-block",
          engine(driver, 9, [TICK, WRITES, 0 | 0 << 2, TICK, DELIVER, TICK, WRITES, 1, TICK, WRITES, 2 | 5 << 2,
                             DELIVER, TICK, WRITES, 3 | 60 << 2, DELIVER, TICK] + run() + [STOP_START] + run(),
                 timeout))
    write("corpus", "fuzz_engine", name + "-unplug-replug",
          engine(driver, 9, run(2) + [UNPLUG, TICK, READ_FAILED, TICK, REPLUG, CONNECTION, CONNECTION,
                                      STOP_START, STOP_START] + run(), timeout))
    write("corpus", "fuzz_engine", name + "-disconnect-reconnect",
          engine(driver, 4, [TICK, CONNECTION, TICK, DELIVER, TICK, CONNECTION, TICK, STOP_START, STOP_START]
                 + run(), timeout, interval=3))
    write("corpus", "fuzz_engine", name + "-stop-start-stale",
          engine(driver, 11, [TICK, STOP_START, STALE_TICK, DELIVER, STOP_START, INTERVAL, 0xC5, TICK,
                              STOP_START, STALE_TICK, INTERVAL, 7, STOP_START] + run(), timeout))
    write("corpus", "fuzz_engine", name + "-raw-lines",
          engine(driver, 8, [TICK, RAW, 13] + list(b"\0\0AT+OTA=E3:1\r\0") + [TICK, RAW, 4] + list(b"AT+O")
                 + [RAW, 7] + list(b"TA=E3:1\r") + [TICK, STYLE, SILENT] + run(3), timeout))
write("corpus", "fuzz_engine", "strict-no-timeout-silent",
      engine(STRICT, 8, [STYLE, SILENT] + run(5) + [STOP_START], 0))
write("corpus", "fuzz_engine", "strict-timeout-1ms",
      engine(STRICT, 9, [TICK, TICK, TICK, DELIVER] + run(), 1, interval=7))
write("corpus", "fuzz_engine", "window-sizes",
      engine(WINDOW, 0, [IMAGE, 1, 1, STOP_START] + run() + [IMAGE, 4, 2, STOP_START] + run(), start=False))
write("corpus", "fuzz_engine", "window-unplug-notified",
      engine(WINDOW, 9, run(2) + [UNPLUG, TICK, CHANGED, TICK, STOP_START, REPLUG, CONNECTION, STOP_START]
             + run()))
# The results of the writes: a tick before them finds the frames not yet
# reported written; the result that comes after such a tick sends the next
# frame at once (once the acknowledgement is in).
for name, driver, timeout in [("patient", PATIENT, 0), ("strict", STRICT, 5), ("window", WINDOW, 0)]:
    write("corpus", "fuzz_engine", name + "-results-late",
          engine(driver, 8, [TICK, RESULT, TICK, RESULT, DELIVER, TICK, DELIVER, RESULT, TICK, TICK, DELIVER,
                             RESULT] + run(), timeout))
    # The board holds E1 (E2 queued behind it): Stop takes E2 back, the held
    # write ends after the Stop and its result reaches nobody; a new transfer
    # then runs to the end.
    write("corpus", "fuzz_engine", name + "-held-write-stop",
          engine(driver, 4, [WRITES, HOLD | 5 << 2, STOP_START, TICK, STOP_START, RESULT, RESULT, STOP_START]
                 + run(), timeout, start=False))
    # The board still holds E1 of a stopped transfer when the connection is
    # closed and opened again: the next transfer goes to the new connection
    # while the old writer waits.
    write("corpus", "fuzz_engine", name + "-held-write-reconnect",
          engine(driver, 4, [WRITES, HOLD | 5 << 2, STOP_START, STOP_START, CONNECTION, CONNECTION, STOP_START,
                             TICK, RESULT, RESULTS] + run(), timeout, start=False))
    # The board holds a data packet: ticks pass, the acknowledgement watch
    # waits for the write; a close while it holds it, then connect again.
    write("corpus", "fuzz_engine", name + "-held-packet-close",
          engine(driver, 9, [RESULTS, TICK, RESULTS, DELIVER, WRITES, HOLD | 30 << 2, TICK, TICK, DELIVER, TICK,
                             RESULT, TICK, RESULT, DELIVER, WRITES, HOLD_FAIL | 3 << 2, RESULT, TICK, CONNECTION,
                             TICK, RESULTS, CONNECTION, STOP_START] + run(), timeout))
write("corpus", "fuzz_engine", "strict-held-write-fails",
      engine(STRICT, 9, [RESULTS, TICK, RESULTS, DELIVER, TICK, WRITES, HOLD_FAIL | 10 << 2, RESULTS, DELIVER, TICK,
                         TICK, RESULT, RESULT] + run(), 4))
# Late replies across a retry: the command line's second attempt after a
# failed write, on the same connection, gets the first attempt's answer to
# packet 1 before and after its own packet 1; the window and the engine it
# drives, Stop and Start with that answer still on its way.
write("corpus", "fuzz_engine", "strict-late-reply-across-retry",
      engine(STRICT, 9, [RESULTS, TICK, RESULTS, DELIVER, WRITES, FAIL, TICK, RESULTS, STOP_START, LATE_REPLY,
                         RESULTS, TICK, LATE_REPLY, TICK, DELIVER, LATE_REPLY] + run(), 5))
for name, driver in [("patient", PATIENT), ("window", WINDOW)]:
    write("corpus", "fuzz_engine", name + "-late-reply-across-restart",
          engine(driver, 9, [RESULTS, TICK, RESULTS, STOP_START, STOP_START, LATE_REPLY, DELIVER, RESULTS, TICK,
                             LATE_REPLY, TICK, DELIVER] + run()))
write("corpus", "fuzz_engine", "window-nothing-changed",
      engine(WINDOW, 4, [CHANGED, TICK, DELIVER, CHANGED, TICK, CONNECTION, STOP_START, CONNECTION, STOP_START]
             + run()))
