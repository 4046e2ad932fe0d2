#ifndef OTAMODEL_H
#define OTAMODEL_H

// The device side of the over-the-air upgrade, as a firmware would run it:
// it takes the frames the tool writes (E1 start, E2 size, numbered data
// packets, E4 checksum), reassembles the image, answers each data packet with
// the acknowledgement line and judges the transfer. Its replies can be
// scripted per packet to exercise the tool's reply handling.
//
// The model knows nothing of how frames travel: an adapter hands it the data
// of each output report (report-id byte removed) and sends back the input
// reports it returns.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// The standard CRC-32 (reflected, polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF), computed bit by bit.
uint32_t crc32(const uint8_t *data, size_t length);

// How the device answers a data packet.
enum class Reply {
    Normal,          // "AT+OTA=E3:1" CR in one 64-byte zero-padded input report
    Split,           // the line over two reports: "AT+OTA=" ends one, "E3:1" CR opens the next
    Noise,           // CR, LF and zero bytes, then the line, then zeros, in one report
    DoubleAck,       // two acknowledgement lines in one report
    Nak,             // "AT+OTA=E3:0" CR: the packet is refused
    Silent,          // no answer at all
    LongLine,        // 241 bytes starting with 'A' and no CR, over four reports
                     // (every reply is whole 64-byte reports, zero-filled)
    LongLineThenAck, // the long line, then a proper acknowledgement
};

struct Script
{
    Reply reply = Reply::Normal;
    std::map<uint32_t, Reply> perPacket; // packet number -> reply
    uint32_t failWriteAtPacket = 0;      // the write of this packet fails (0: none)
    uint32_t failFirstWrites = 0;        // the first this many writes fail, whatever they carry
    uint32_t vanishAfterPacket = 0;      // the device is gone after this packet (0: never)
    // The device takes nothing for stallMs before it takes this packet,
    // once (a board erasing flash): the write waits that long (0: never).
    uint32_t stallAtPacket = 0;
    int stallMs = 0;
    // A transport that pads every output report to the report size (64 data
    // bytes) hands over frames with trailing zeros; the model then takes a
    // frame's true length from the protocol instead of the report's.
    bool paddedReports = false;
    // The board starts its new image once it has taken E4, as OTA boards
    // do: it goes at once (its E4 write still succeeds, restartWriteLateMs
    // later: a writer that is late) and comes back restartGoneMs later with
    // the release number restartRelease, the same board with the same
    // model. The transport does it; -1: the board stays.
    int restartGoneMs = -1;
    uint16_t restartRelease = 0;
    int restartWriteLateMs = 0;
};

struct Verdict
{
    bool started = false;     // E1 seen
    bool sizeKnown = false;   // a valid E2 seen
    uint32_t announcedSize = 0;
    uint32_t packets = 0;     // data packets taken
    Bytes image;              // reassembled bytes
    bool checksumSeen = false;
    uint32_t checksumReceived = 0;
    uint32_t checksumComputed = 0;
    int sessions = 0;         // E1 frames seen
    std::vector<std::string> errors;

    // E1, E2 and E4 seen, every announced byte received, and the checksum
    // matching the image, with no protocol error on the way.
    bool good() const;
};

class OtaModel
{
public:
    explicit OtaModel(Script script = {});

    // Takes one output report's data and returns the input reports to send.
    std::vector<Bytes> handleOutput(const uint8_t *data, size_t length);
    // Whether the write of this report should fail (it is then not taken).
    bool shouldFailWrite(const uint8_t *data, size_t length);
    // How long the device holds the write of this report before it takes
    // it, in ms (the scripted stall, once; 0 otherwise).
    int stallBefore(const uint8_t *data, size_t length);
    // True once the device has gone (after the scripted packet).
    bool vanished() const { return gone; }

    const Verdict &verdict() const { return result; }
    const Script &scripted() const { return script; }
    // One line for a person or a host script: "GOOD ..." or "BAD ...".
    std::string verdictText() const;

    static Bytes ackReport();

private:
    std::vector<Bytes> replyTo(uint32_t packet);
    void handleData(const uint8_t *data, size_t length);
    void error(std::string text);

    Script script;
    Verdict result;
    bool gone = false;
    bool stalled = false;
    uint32_t writesFailed = 0;
};

} // namespace sim

#endif // OTAMODEL_H
