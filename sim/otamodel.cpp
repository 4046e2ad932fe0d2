#include "otamodel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kReport = 64;
constexpr size_t kPayload = 60;
const char kCommandPrefix[] = "AT+OTA=E"; // 8 bytes, then the command digit
const char kAck[] = "AT+OTA=E3:1\r";
const char kNak[] = "AT+OTA=E3:0\r";

Bytes text(const char *s)
{
    return Bytes(s, s + std::strlen(s));
}

Bytes padded(Bytes bytes)
{
    if (bytes.size() < kReport)
        bytes.resize(kReport, 0);
    return bytes;
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool allZero(const uint8_t *p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

std::string hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

} // namespace

uint32_t crc32(const uint8_t *data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

bool Verdict::good() const
{
    return started && sizeKnown && checksumSeen && errors.empty() && image.size() == announcedSize
           && checksumReceived == checksumComputed;
}

OtaModel::OtaModel(Script s)
    : script(std::move(s))
{
}

Bytes OtaModel::ackReport()
{
    return padded(text(kAck));
}

void OtaModel::error(std::string text)
{
    result.errors.push_back(std::move(text));
}

bool OtaModel::shouldFailWrite(const uint8_t *data, size_t length)
{
    if (writesFailed < script.failFirstWrites) {
        ++writesFailed;
        return true;
    }
    if (!script.failWriteAtPacket || length < 4 || std::memcmp(data, kCommandPrefix, std::min<size_t>(length, 8)) == 0)
        return false;
    return le32(data) == script.failWriteAtPacket;
}

int OtaModel::stallBefore(const uint8_t *data, size_t length)
{
    if (stalled || !script.stallAtPacket || length < 4
        || std::memcmp(data, kCommandPrefix, std::min<size_t>(length, 8)) == 0 || le32(data) != script.stallAtPacket)
        return 0;
    stalled = true;
    return script.stallMs;
}

// Frames that begin with "AT+OTA=E" are commands; everything else is a data
// packet. A data packet begins with its number, and the number whose bytes
// spell "AT+O" (0x4F2B5441) would need an image of more than 80 GB.
std::vector<Bytes> OtaModel::handleOutput(const uint8_t *data, size_t length)
{
    if (gone)
        return {};
    const bool command = length >= 10 && std::memcmp(data, kCommandPrefix, 8) == 0 && data[9] == ':';
    if (!command) {
        if (length < 5) {
            error("short data frame of " + std::to_string(length) + " bytes");
            return {};
        }
        const uint32_t number = le32(data);
        const uint32_t before = result.packets;
        handleData(data, length);
        if (result.packets == before)
            return {};
        std::vector<Bytes> replies = replyTo(number);
        if (script.vanishAfterPacket && number >= script.vanishAfterPacket)
            gone = true;
        return replies;
    }

    const uint8_t which = data[8];
    const size_t expected = which == '1' ? 12 : 16;
    const bool lengthOk = length == expected
                          || (script.paddedReports && length > expected && allZero(data + expected, length - expected));
    if ((which != '1' && which != '2' && which != '4') || !lengthOk) {
        error("unknown or malformed command of " + std::to_string(length) + " bytes");
        return {};
    }
    if (data[expected - 1] != '\r') {
        error(std::string("command E") + char(which) + " without CR");
        return {};
    }
    if (which == '1') {
        if (data[10] != '1') {
            error("E1 with an argument other than 1");
            return {};
        }
        // A start always begins a fresh session.
        const int sessions = result.sessions + 1;
        result = Verdict();
        result.sessions = sessions;
        result.started = true;
        return {};
    }
    const uint32_t value = le32(data + 10);
    const uint8_t check = data[10] ^ data[11] ^ data[12] ^ data[13];
    if (check != data[14]) {
        error(std::string("E") + char(which) + " check byte wrong");
        return {};
    }
    if (!result.started) {
        error(std::string("E") + char(which) + " before E1");
        return {};
    }
    if (which == '2') {
        if (result.sizeKnown || result.packets) {
            error("E2 repeated within a session");
            return {};
        }
        result.sizeKnown = true;
        result.announcedSize = value;
        return {};
    }
    // E4
    if (!result.sizeKnown)
        error("E4 before E2");
    if (result.image.size() != result.announcedSize)
        error("E4 after " + std::to_string(result.image.size()) + " of " + std::to_string(result.announcedSize) + " bytes");
    if (result.checksumSeen)
        error("E4 repeated");
    result.checksumSeen = true;
    result.checksumReceived = value;
    result.checksumComputed = crc32(result.image.data(), result.image.size());
    if (result.checksumReceived != result.checksumComputed)
        error("checksum " + hex32(value) + " but image gives " + hex32(result.checksumComputed));
    return {};
}

void OtaModel::handleData(const uint8_t *data, size_t length)
{
    const uint32_t number = le32(data);
    if (!result.sizeKnown) {
        error("data packet " + std::to_string(number) + " before E2");
        return;
    }
    if (number != result.packets + 1) {
        error("data packet " + std::to_string(number) + " where " + std::to_string(result.packets + 1) + " was due");
        return;
    }
    const size_t left = result.announcedSize - result.image.size();
    const size_t due = std::min(kPayload, left);
    const size_t carried = length - 4;
    const bool lengthOk = carried == due
                          || (script.paddedReports && carried > due && allZero(data + 4 + due, carried - due));
    if (due == 0 || !lengthOk) {
        error("data packet " + std::to_string(number) + " carries " + std::to_string(carried) + " bytes, "
              + std::to_string(due) + " due");
        return;
    }
    result.image.insert(result.image.end(), data + 4, data + 4 + due);
    ++result.packets;
}

std::vector<Bytes> OtaModel::replyTo(uint32_t packet)
{
    const auto it = script.perPacket.find(packet);
    const Reply reply = it != script.perPacket.end() ? it->second : script.reply;
    switch (reply) {
    case Reply::Normal:
        return {ackReport()};
    case Reply::Split: {
        // A device sends whole reports: the line's first part ends one
        // report, its rest opens the next.
        Bytes first(kReport - 7, 0);
        const Bytes head = text("AT+OTA=");
        first.insert(first.end(), head.begin(), head.end());
        return {first, padded(text("E3:1\r"))};
    }
    case Reply::Noise: {
        Bytes report{'\r', '\n', 0, 0, '\n'};
        const Bytes line = text(kAck);
        report.insert(report.end(), line.begin(), line.end());
        return {padded(report)};
    }
    case Reply::DoubleAck: {
        Bytes report = text(kAck);
        const Bytes line = text(kAck);
        report.insert(report.end(), line.begin(), line.end());
        return {padded(report)};
    }
    case Reply::Nak:
        return {padded(text(kNak))};
    case Reply::Silent:
        return {};
    case Reply::LongLine:
    case Reply::LongLineThenAck: {
        // 241 bytes that begin with 'A' and never end with CR; the last
        // bytes spell the acknowledgement without its CR.
        Bytes line(241, 'x');
        line[0] = 'A';
        std::memcpy(line.data() + 241 - 11, "AT+OTA=E3:1", 11);
        std::vector<Bytes> reports;
        for (size_t at = 0; at < line.size(); at += kReport)
            reports.push_back(padded(Bytes(line.begin() + at, line.begin() + std::min(line.size(), at + kReport))));
        if (reply == Reply::LongLineThenAck)
            reports.push_back(ackReport());
        return reports;
    }
    }
    return {};
}

std::string OtaModel::verdictText() const
{
    const Verdict &v = result;
    std::string line = v.good() ? "GOOD" : "BAD";
    line += " size=" + std::to_string(v.announcedSize) + " received=" + std::to_string(v.image.size())
            + " packets=" + std::to_string(v.packets) + " crc=" + hex32(v.checksumComputed);
    if (v.checksumSeen)
        line += " e4=" + hex32(v.checksumReceived);
    else
        line += " e4=none";
    if (!v.started)
        line += " no-E1";
    for (const std::string &e : v.errors)
        line += "; " + e;
    return line;
}

} // namespace sim
