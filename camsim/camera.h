// The camera's side of the wire: command packets in, acknowledgement and reply bytes out,
// the camera's own state (picture slots, counter, registers), and injected faults.
#pragma once

#include "frame.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace camsim {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr int kMaxCounter = 254;
constexpr int kDefaultSlots = 24;
constexpr uint8_t kBusyByte = 0x01; // payload of a '!' reply
constexpr uint8_t kNotEtx = 0x04;   // what the noetx fault sends in place of ETX

enum class FaultKind {
    None,
    Busy,        // '!' reply instead of the answer
    Silent,      // no acknowledgement, no reply
    SilentReply, // acknowledgement, then nothing
    Noise,       // random bytes (never STX) before the reply
    Nak,         // NAK instead of ACK
    Truncate,    // the reply stops half-way
    WrongType,   // a valid reply of another command
    BadType,     // the reply's type byte in upper case
    NoEtx,       // another byte in place of the closing ETX
    Oversize,    // a length field larger than usual, with a payload to match
    StopMid,     // a picture that stops part-way through its lines
    Trickle,     // acknowledgement, then a byte that is never STX every 900 ms, for a minute
    Late,        // acknowledgement and reply 1,300 ms late, after the host stopped waiting
    Flood,       // acknowledgement, then 96 KiB of bytes and no reply
};

const char *fault_name(FaultKind kind);
bool parse_fault_kind(const std::string &name, FaultKind &kind);
// "LETTER:KIND[:COUNT]" or the control channel's "LETTER KIND [COUNT]" once split.
bool parse_fault_rule(const std::string &letter, const std::string &kind, const std::string &count,
                      struct FaultRule &rule, std::string &error);

struct FaultRule {
    char letter = '*'; // a command letter, or '*' for any command
    FaultKind kind = FaultKind::None;
    int remaining = 1; // commands still to hit; -1 for always
};

struct Slot {
    bool filled = false;
    RgbImage picture;   // the sensor's samples at the 164 x 124 sites; the mosaic takes one each
    RgbImage shown;     // the picture as the camera renders it, which its thumbnail shows
    std::string origin; // file name or scene, for the log and the status line
};

// Bytes to send once delayMs have passed after the previous segment went out.
struct Segment {
    int delayMs = 0;
    std::vector<uint8_t> bytes;
};

struct Camera {
    std::vector<Slot> slots; // the capacity is slots.size()
    int counter = 0;         // 0 to 254; slots at or past the capacity are empty
    uint8_t registers[256] = {};
    uint8_t ram[256] = {};
    uint8_t ramAddress = 0;
    uint8_t port0 = 0;
    uint8_t videoMode = 0;
    uint8_t grabFirst = 0x10; // grab range, as 'T' sets and 'X' reads it
    uint8_t grabSecond = 0x80;
    uint8_t grabResult = 0x00; // answer of 'Y': result of the last grab
    int grabs = 0;
    int badExposures = 0; // the next this many grabs fail with a bad exposure
    bool hasGrabPicture = false;
    RgbImage grabPicture;
    std::string grabOrigin;
    Slot grabTaken; // grabPicture as a grab stores it, exposed once at the first grab
    bool idle = false;
    int buzzes = 0;
    std::string firmware = "SIM1";
    int blackLevel = 16;
    int blackNoise = 0;
    bool advanceOnUpload = true; // a whole 'u' or 'm' reply moves the counter to the next slot

    std::vector<FaultRule> faults;
    double randomFaults = 0.0; // probability of a random fault on each command
    Rng rng;
    bool scriptPending = false; // send script instead of the answer to the next packet
    std::vector<uint8_t> script;
    int slowAckMs = 0;
    int replyDelayMs = 0;
    bool pace = false;
    bool hush = false;   // drop whatever is still queued for sending
    bool unplug = false; // pull the cable: the host's line goes dead, a new one takes its place

    std::vector<uint8_t> partial; // packet being received
    std::vector<uint8_t> lastPacket;
    uint64_t commands = 0;
    uint64_t refused = 0;
    uint64_t faultsInjected = 0;
    uint64_t skippedBytes = 0;
    FILE *log = nullptr; // one line per command when set
};

void camera_init(Camera &camera, int capacity);
int camera_pictures(const Camera &camera);
// Puts a picture into a slot; a photograph is exposed onto the sensor first.
bool camera_store(Camera &camera, int slot, RgbImage picture, const std::string &origin);

// Takes one byte from the host. When it completes a packet, returns true and fills out with
// what the camera sends back (possibly nothing).
bool camera_receive(Camera &camera, uint8_t byte, std::vector<Segment> &out);
bool camera_mid_packet(const Camera &camera);
// Forgets a packet that stopped arriving part-way.
void camera_drop_partial(Camera &camera);

} // namespace camsim
