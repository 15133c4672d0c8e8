#include "camera.h"

#include "exposure.h"
#include "scenes.h"
#include "sensor.h"

#include <cctype>
#include <cstdlib>

namespace camsim {

namespace {

struct Reply {
    uint8_t type = 0;
    std::vector<uint8_t> header; // the length field of 'v', 'm' and 'u'
    std::vector<uint8_t> payload;
    bool advances = false; // a whole delivery moves the counter on
    std::string note;      // for the log
};

// False refuses the command (NAK, no reply).
using Handler = bool (*)(Camera &, const uint8_t *args, Reply &);

struct Command {
    char letter;
    int args; // argument bytes between the letter and ETX
    Handler handler;
};

Reply one_byte(char type, uint8_t value) {
    Reply r;
    r.type = static_cast<uint8_t>(type);
    r.payload.push_back(value);
    return r;
}

// A photograph goes onto the sensor as the samples that the host turns back into it; a
// generated scene is the sensor's samples already, and its thumbnail shows them as they are.
void fill_slot(Slot &slot, RgbImage picture, const std::string &origin) {
    if (picture.levels == Levels::Photograph) {
        Exposure e = expose_photograph(picture);
        slot.picture = std::move(e.samples);
        slot.shown = std::move(e.shown);
    } else {
        slot.shown = picture;
        slot.picture = std::move(picture);
    }
    slot.picture.levels = Levels::SensorSamples;
    slot.origin = origin;
    slot.filled = true;
}

bool current_picture(Camera &cam, const Slot *&slot) {
    if (cam.counter >= static_cast<int>(cam.slots.size())) return false;
    slot = &cam.slots[cam.counter];
    return slot->filled;
}

bool set_counter(Camera &cam, const uint8_t *a, Reply &r) {
    if (a[0] > kMaxCounter) return false;
    cam.counter = a[0];
    r = one_byte('a', a[0]);
    return true;
}

bool buzz(Camera &cam, const uint8_t *a, Reply &r) {
    ++cam.buzzes;
    r = one_byte('b', 0);
    r.note = "buzz " + std::to_string(a[0]) + "," + std::to_string(a[1]);
    return true;
}

bool echo(Camera &, const uint8_t *a, Reply &r) {
    r = one_byte('e', a[0]);
    return true;
}

bool grab(Camera &cam, const uint8_t *a, Reply &r) {
    r = one_byte('g', 0);
    if (cam.counter >= static_cast<int>(cam.slots.size())) {
        cam.grabResult = 0x80; // no slot at the counter: the camera is full
        r.note = "camera full";
    } else if (cam.badExposures > 0) {
        --cam.badExposures;
        cam.grabResult = 0x81;
        r.note = "bad exposure";
    } else {
        Slot &slot = cam.slots[cam.counter];
        if (cam.hasGrabPicture) {
            if (!cam.grabTaken.filled) fill_slot(cam.grabTaken, cam.grabPicture, cam.grabOrigin);
            slot = cam.grabTaken;
        } else {
            fill_slot(slot, make_scene(cam.grabs),
                      std::string("grab scene ") + scene_name(cam.grabs));
        }
        ++cam.grabs;
        cam.grabResult = 0x00;
        r.note = "grabbed into slot " + std::to_string(cam.counter) + " (grab byte " +
                 std::to_string(a[0]) + ")";
    }
    return true;
}

bool get_counter(Camera &cam, const uint8_t *, Reply &r) {
    r = one_byte('i', static_cast<uint8_t>(cam.counter));
    return true;
}

bool increment_counter(Camera &cam, const uint8_t *a, Reply &r) {
    const int old = cam.counter;
    const int step = a[0] | ((a[1] & 0x7F) << 8);
    cam.counter = old + step > kMaxCounter ? kMaxCounter : old + step;
    r.type = 'j';
    r.payload = {static_cast<uint8_t>(old), static_cast<uint8_t>(cam.counter)};
    return true;
}

bool write_ram(Camera &cam, const uint8_t *a, Reply &r) {
    cam.ram[cam.ramAddress++] = a[0];
    r = one_byte('k', a[0]);
    return true;
}

bool go_idle(Camera &cam, const uint8_t *, Reply &r) {
    cam.idle = true;
    r = one_byte('l', 0);
    return true;
}

bool set_port0(Camera &cam, const uint8_t *a, Reply &r) {
    cam.port0 = a[0];
    r = one_byte('p', a[0]);
    return true;
}

bool set_video_mode(Camera &cam, const uint8_t *a, Reply &r) {
    cam.videoMode = a[0];
    r = one_byte('q', a[0]);
    return true;
}

bool read_register(Camera &cam, const uint8_t *a, Reply &r) {
    r = one_byte('r', cam.registers[a[0]]);
    return true;
}

bool set_grab_range(Camera &cam, const uint8_t *a, Reply &r) {
    cam.grabFirst = a[0];
    cam.grabSecond = a[1];
    r = one_byte('t', 0);
    return true;
}

bool upload_picture(Camera &cam, const uint8_t *, Reply &r) {
    const Slot *slot = nullptr;
    if (!current_picture(cam, slot)) return false;
    StreamSettings settings;
    settings.blackLevel = cam.blackLevel;
    settings.blackNoise = cam.blackNoise;
    settings.slot = static_cast<uint8_t>(cam.counter);
    r.type = 'u';
    r.header = {kLineLength, kLeadingLines, kPictureLines, kTrailerLength};
    r.payload.resize(kPicturePayload);
    make_picture_payload(slot->picture, settings, cam.rng, r.payload.data());
    r.advances = true;
    r.note = "slot " + std::to_string(cam.counter) + " " + slot->origin;
    return true;
}

bool upload_thumbnail(Camera &cam, const uint8_t *, Reply &r) {
    const Slot *slot = nullptr;
    if (!current_picture(cam, slot)) return false;
    StreamSettings settings;
    settings.blackLevel = cam.blackLevel;
    settings.slot = static_cast<uint8_t>(cam.counter);
    r.type = 'm';
    r.header = {kThumbWidth, 0, kThumbLines, kTrailerLength};
    r.payload.resize(kThumbPayload);
    make_thumbnail_payload(slot->shown, settings, r.payload.data());
    r.advances = true;
    r.note = "slot " + std::to_string(cam.counter) + " " + slot->origin;
    return true;
}

bool firmware_version(Camera &cam, const uint8_t *, Reply &r) {
    r.type = 'v';
    r.payload.assign(cam.firmware.begin(), cam.firmware.end());
    r.header = {static_cast<uint8_t>(r.payload.size())};
    return true;
}

bool write_register(Camera &cam, const uint8_t *a, Reply &r) {
    cam.registers[a[0]] = a[1];
    r = one_byte('w', a[1]);
    return true;
}

bool get_grab_range(Camera &cam, const uint8_t *, Reply &r) {
    r.type = 'x';
    r.payload = {cam.grabFirst, cam.grabSecond};
    return true;
}

bool grab_result(Camera &cam, const uint8_t *, Reply &r) {
    r = one_byte('y', cam.grabResult);
    return true;
}

bool quit_self_test(Camera &, const uint8_t *, Reply &r) {
    r = one_byte('z', 0);
    return true;
}

const Command kCommands[] = {
    {'A', 1, set_counter},    {'B', 2, buzz},           {'E', 1, echo},
    {'G', 1, grab},           {'I', 1, get_counter},    {'J', 2, increment_counter},
    {'K', 1, write_ram},      {'L', 1, go_idle},        {'M', 1, upload_thumbnail},
    {'P', 1, set_port0},      {'Q', 1, set_video_mode}, {'R', 1, read_register},
    {'T', 2, set_grab_range}, {'U', 1, upload_picture}, {'V', 1, firmware_version},
    {'W', 2, write_register}, {'X', 1, get_grab_range}, {'Y', 1, grab_result},
    {'Z', 1, quit_self_test},
};

const Command *find_command(uint8_t letter) {
    for (const Command &c : kCommands)
        if (static_cast<uint8_t>(c.letter) == letter) return &c;
    return nullptr;
}

// Unknown letters are framed as one-argument packets.
size_t packet_length(uint8_t letter) {
    const Command *c = find_command(letter);
    return 3 + static_cast<size_t>(c ? c->args : 1);
}

struct FaultName {
    FaultKind kind;
    const char *name;
};

// Random faults draw from the first kRandomFaultKinds rows: the ones after them
// hold the line for seconds and are for tests that ask for them by name.
const FaultName kFaultNames[] = {
    {FaultKind::Busy, "busy"},
    {FaultKind::Silent, "silent"},
    {FaultKind::SilentReply, "silent-reply"},
    {FaultKind::Noise, "noise"},
    {FaultKind::Nak, "nak"},
    {FaultKind::Truncate, "truncate"},
    {FaultKind::WrongType, "wrongtype"},
    {FaultKind::BadType, "badtype"},
    {FaultKind::NoEtx, "noetx"},
    {FaultKind::Oversize, "oversize"},
    {FaultKind::StopMid, "stopmid"},
    {FaultKind::Trickle, "trickle"},
    {FaultKind::Late, "late"},
    {FaultKind::Flood, "flood"},
};
constexpr uint32_t kRandomFaultKinds = 11;

constexpr int kTrickleGapMs = 900;
constexpr int kTrickleBytes = 66; // about a minute
constexpr int kLateMs = 1300;
constexpr size_t kFloodBytes = 96 * 1024;

// Bytes that are never STX, as a noisy line or a stray stream would bring.
uint8_t junk(size_t i) {
    return static_cast<uint8_t>(0x40 + i % 64);
}

FaultKind take_fault(Camera &cam, uint8_t letter) {
    for (size_t i = 0; i < cam.faults.size(); ++i) {
        FaultRule &rule = cam.faults[i];
        if (rule.letter != '*' && static_cast<uint8_t>(rule.letter) != letter) continue;
        const FaultKind kind = rule.kind;
        if (rule.remaining > 0 && --rule.remaining == 0)
            cam.faults.erase(cam.faults.begin() + static_cast<long>(i));
        return kind;
    }
    if (cam.randomFaults > 0 && rng_unit(cam.rng) < cam.randomFaults) {
        return kFaultNames[rng_below(cam.rng, kRandomFaultKinds)].kind;
    }
    return FaultKind::None;
}

std::vector<uint8_t> encode(const Reply &r) {
    std::vector<uint8_t> bytes;
    bytes.reserve(3 + r.header.size() + r.payload.size());
    bytes.push_back(kStx);
    bytes.push_back(r.type);
    bytes.insert(bytes.end(), r.header.begin(), r.header.end());
    bytes.insert(bytes.end(), r.payload.begin(), r.payload.end());
    bytes.push_back(kEtx);
    return bytes;
}

// A length field one step larger than usual, with a payload that matches it, so that the
// stream stays whole for a host that reads it all.
void make_oversize(Reply &r) {
    if (r.type == 'u' || r.type == 'm') {
        r.header[1] = static_cast<uint8_t>(r.header[1] + 1);
        r.payload.insert(r.payload.begin(), r.header[0], 0);
    } else if (r.type == 'v') {
        r.payload.resize(17, ' ');
        r.header[0] = 17;
    } else {
        r.payload.push_back(0); // a fixed-length reply can only grow by a byte
    }
}

std::string hex(const std::vector<uint8_t> &bytes, size_t limit = 8) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    if (bytes.size() > limit) s += " ...";
    return s;
}

void log_line(Camera &cam, const std::vector<uint8_t> &packet, const std::string &what) {
    if (!cam.log) return;
    std::fprintf(cam.log, "camsim: %s -> %s\n", hex(packet).c_str(), what.c_str());
    std::fflush(cam.log);
}

void answer(Camera &cam, const std::vector<uint8_t> &packet, std::vector<Segment> &out) {
    ++cam.commands;
    if (cam.scriptPending) {
        cam.scriptPending = false;
        out.push_back(Segment{0, cam.script});
        log_line(cam, packet, "scripted " + hex(cam.script, 16));
        return;
    }
    const Command *command = find_command(packet[1]);
    if (!command) {
        ++cam.refused;
        out.push_back(Segment{0, {kNak}});
        log_line(cam, packet, "NAK (unknown command)");
        return;
    }
    cam.idle = false;
    const FaultKind fault = take_fault(cam, packet[1]);
    const std::string tag =
        fault == FaultKind::None ? "" : std::string(" [fault ") + fault_name(fault) + "]";
    if (fault != FaultKind::None) ++cam.faultsInjected;

    // Faults that stand for a camera which did not take the command: no effect.
    if (fault == FaultKind::Silent) {
        log_line(cam, packet, "nothing" + tag);
        return;
    }
    if (fault == FaultKind::Nak) {
        out.push_back(Segment{cam.slowAckMs, {kNak}});
        log_line(cam, packet, "NAK" + tag);
        return;
    }
    if (fault == FaultKind::Busy) {
        out.push_back(Segment{cam.slowAckMs, {kAck}});
        out.push_back(Segment{cam.replyDelayMs, {kStx, '!', kBusyByte, kEtx}});
        log_line(cam, packet, "ACK, busy" + tag);
        return;
    }

    Reply reply;
    if (!command->handler(cam, packet.data() + 2, reply)) {
        ++cam.refused;
        out.push_back(Segment{cam.slowAckMs, {kNak}});
        log_line(cam, packet, "NAK (refused)" + tag);
        return;
    }
    if (fault == FaultKind::Late) {
        out.push_back(Segment{kLateMs + cam.slowAckMs, {kAck}});
    } else {
        out.push_back(Segment{cam.slowAckMs, {kAck}});
    }
    if (fault == FaultKind::SilentReply) {
        log_line(cam, packet, "ACK only" + tag);
        return;
    }
    if (fault == FaultKind::Trickle) {
        for (int i = 0; i < kTrickleBytes; ++i)
            out.push_back(Segment{kTrickleGapMs, {junk(static_cast<size_t>(i))}});
        log_line(cam, packet, "ACK, trickle" + tag);
        return;
    }
    if (fault == FaultKind::Flood) {
        std::vector<uint8_t> flood(kFloodBytes);
        for (size_t i = 0; i < flood.size(); ++i) flood[i] = junk(i);
        out.push_back(Segment{cam.replyDelayMs, std::move(flood)});
        log_line(cam, packet, "ACK, flood" + tag);
        return;
    }
    if (fault == FaultKind::WrongType) {
        const std::string note = reply.note;
        reply = Reply();
        reply.type = packet[1] == 'X' ? 'i' : 'x';
        if (reply.type == 'i')
            reply.payload = {static_cast<uint8_t>(cam.counter)};
        else
            reply.payload = {cam.grabFirst, cam.grabSecond};
        reply.note = note;
    }
    if (fault == FaultKind::BadType) reply.type = static_cast<uint8_t>(std::toupper(reply.type));
    if (fault == FaultKind::Oversize) make_oversize(reply);

    std::vector<uint8_t> bytes = encode(reply);
    if (fault == FaultKind::NoEtx) bytes.back() = kNotEtx;
    if (fault == FaultKind::Truncate || fault == FaultKind::StopMid) {
        size_t keep = bytes.size() / 2;
        if (fault == FaultKind::StopMid && (reply.type == 'u' || reply.type == 'm'))
            keep = 2 + reply.header.size() + reply.payload.size() * 2 / 5; // 2/5 of the lines
        bytes.resize(keep);
    }
    if (fault == FaultKind::Noise) {
        const uint32_t count = 1 + rng_below(cam.rng, 16);
        std::vector<uint8_t> noise;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t b = static_cast<uint8_t>(rng_next(cam.rng));
            noise.push_back(b == kStx ? 0x55 : b);
        }
        bytes.insert(bytes.begin(), noise.begin(), noise.end());
    }
    if (reply.advances && cam.advanceOnUpload &&
        (fault == FaultKind::None || fault == FaultKind::Noise || fault == FaultKind::Late) &&
        cam.counter < kMaxCounter)
        ++cam.counter;
    out.push_back(Segment{cam.replyDelayMs, std::move(bytes)});

    std::string what = "ACK, ";
    what += static_cast<char>(reply.type);
    what += reply.payload.size() <= 4 ? " " + hex(reply.payload)
                                      : " " + std::to_string(reply.payload.size()) + " bytes";
    if (!reply.note.empty()) what += " (" + reply.note + ")";
    log_line(cam, packet, what + tag);
}

} // namespace

const char *fault_name(FaultKind kind) {
    for (const FaultName &f : kFaultNames)
        if (f.kind == kind) return f.name;
    return "none";
}

bool parse_fault_kind(const std::string &name, FaultKind &kind) {
    for (const FaultName &f : kFaultNames)
        if (name == f.name) {
            kind = f.kind;
            return true;
        }
    return false;
}

bool parse_fault_rule(const std::string &letter, const std::string &kind, const std::string &count,
                      FaultRule &rule, std::string &error) {
    if (letter.size() != 1 ||
        (letter[0] != '*' && !std::isupper(static_cast<unsigned char>(letter[0])))) {
        error = "fault letter must be an upper-case command letter or *";
        return false;
    }
    rule.letter = letter[0];
    if (!parse_fault_kind(kind, rule.kind)) {
        error = "unknown fault kind '" + kind + "'";
        return false;
    }
    rule.remaining = 1;
    if (count == "always") {
        rule.remaining = -1;
    } else if (!count.empty()) {
        char *end = nullptr;
        const long n = std::strtol(count.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 1000000) {
            error = "fault count must be 1 to 1000000 or 'always'";
            return false;
        }
        rule.remaining = static_cast<int>(n);
    }
    return true;
}

void camera_init(Camera &camera, int capacity) {
    camera.slots.assign(static_cast<size_t>(capacity), Slot());
}

int camera_pictures(const Camera &camera) {
    int n = 0;
    for (const Slot &s : camera.slots) n += s.filled ? 1 : 0;
    return n;
}

bool camera_store(Camera &camera, int slot, RgbImage picture, const std::string &origin) {
    if (slot < 0 || slot >= static_cast<int>(camera.slots.size())) return false;
    fill_slot(camera.slots[slot], std::move(picture), origin);
    return true;
}

bool camera_receive(Camera &cam, uint8_t byte, std::vector<Segment> &out) {
    if (cam.partial.empty()) {
        if (byte == kStx)
            cam.partial.push_back(byte);
        else
            ++cam.skippedBytes; // resynchronise: everything up to the next STX is dropped
        return false;
    }
    cam.partial.push_back(byte);
    if (cam.partial.size() < 4 || cam.partial.size() < packet_length(cam.partial[1])) return false;

    std::vector<uint8_t> packet;
    packet.swap(cam.partial);
    cam.lastPacket = packet;
    if (packet.back() == kEtx) {
        answer(cam, packet, out);
        return true;
    }
    // Not closed by ETX: refuse it, and start again at the next STX inside it, which may be
    // the beginning of the host's next packet.
    ++cam.commands;
    ++cam.refused;
    out.push_back(Segment{0, {kNak}});
    log_line(cam, packet, "NAK (no ETX)");
    for (size_t i = 1; i < packet.size(); ++i)
        if (packet[i] == kStx) {
            cam.partial.assign(packet.begin() + static_cast<long>(i), packet.end());
            break;
        }
    return true;
}

bool camera_mid_packet(const Camera &camera) {
    return !camera.partial.empty();
}

void camera_drop_partial(Camera &camera) {
    if (camera.log && !camera.partial.empty()) {
        std::fprintf(camera.log, "camsim: %s -> dropped (packet stopped part-way)\n",
                     hex(camera.partial).c_str());
        std::fflush(camera.log);
    }
    camera.skippedBytes += camera.partial.size();
    camera.partial.clear();
}

} // namespace camsim
