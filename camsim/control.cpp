#include "control.h"

#include "image_files.h"
#include "scenes.h"

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace camsim {

namespace {

using Words = std::vector<std::string>;

bool parse_int(const std::string &text, long low, long high, long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return *end == '\0' && value >= low && value <= high;
}

std::string hex_line(const std::vector<uint8_t> &bytes) {
    std::string s;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        s += buf;
    }
    return s;
}

std::string do_fault(Camera &cam, const Words &w) {
    if (w.size() < 3 || w.size() > 4) return "error usage: fault LETTER KIND [COUNT|always]";
    FaultRule rule;
    std::string error;
    if (!parse_fault_rule(w[1], w[2], w.size() == 4 ? w[3] : "", rule, error))
        return "error " + error;
    cam.faults.push_back(rule);
    return "ok";
}

std::string do_clear(Camera &cam, const Words &) {
    cam.faults.clear();
    cam.randomFaults = 0;
    cam.scriptPending = false;
    cam.script.clear();
    cam.slowAckMs = 0;
    cam.replyDelayMs = 0;
    cam.badExposures = 0;
    cam.hush = true; // a trickle or a stream still going out stops too
    return "ok";
}

std::string do_last(Camera &cam, const Words &) {
    return "ok" + hex_line(cam.lastPacket);
}

std::string do_raw(Camera &cam, const Words &w) {
    std::string text;
    for (size_t i = 1; i < w.size(); ++i) text += w[i];
    std::vector<uint8_t> bytes;
    if (!parse_hex_bytes(text, bytes)) return "error usage: raw HEX... (pairs of hex digits)";
    cam.script = bytes;
    cam.scriptPending = true;
    return "ok";
}

std::string set_ms(int &target, const Words &w) {
    long ms;
    if (w.size() != 2 || !parse_int(w[1], 0, 600000, ms))
        return "error usage: " + w[0] + " MS (0 to 600000)";
    target = static_cast<int>(ms);
    return "ok";
}

std::string do_slowack(Camera &cam, const Words &w) {
    return set_ms(cam.slowAckMs, w);
}
std::string do_delay(Camera &cam, const Words &w) {
    return set_ms(cam.replyDelayMs, w);
}

std::string do_load(Camera &cam, const Words &w) {
    long slot;
    if (w.size() < 3 || !parse_int(w[1], 0, static_cast<long>(cam.slots.size()) - 1, slot))
        return "error usage: load SLOT FILE (slot 0 to " + std::to_string(cam.slots.size() - 1) +
               ")";
    std::string path = w[2];
    for (size_t i = 3; i < w.size(); ++i) path += " " + w[i]; // names with spaces
    RgbImage picture;
    std::string error;
    if (!load_sensor_picture(path, picture, error)) return "error " + error;
    camera_store(cam, static_cast<int>(slot), std::move(picture), path);
    return "ok";
}

std::string do_scene(Camera &cam, const Words &w) {
    long slot, n;
    if (w.size() != 3 || !parse_int(w[1], 0, static_cast<long>(cam.slots.size()) - 1, slot) ||
        !parse_int(w[2], 0, 1000000, n))
        return "error usage: scene SLOT N";
    camera_store(cam, static_cast<int>(slot), make_scene(static_cast<int>(n)),
                 std::string("scene ") + scene_name(static_cast<int>(n)));
    return "ok";
}

std::string do_erase(Camera &cam, const Words &w) {
    if (w.size() == 2 && w[1] == "all") {
        for (Slot &s : cam.slots) s = Slot();
        return "ok";
    }
    long slot;
    if (w.size() != 2 || !parse_int(w[1], 0, static_cast<long>(cam.slots.size()) - 1, slot))
        return "error usage: erase SLOT|all";
    cam.slots[static_cast<size_t>(slot)] = Slot();
    return "ok";
}

std::string do_counter(Camera &cam, const Words &w) {
    long n;
    if (w.size() != 2 || !parse_int(w[1], 0, kMaxCounter, n))
        return "error usage: counter N (0 to 254)";
    cam.counter = static_cast<int>(n);
    return "ok";
}

std::string do_pace(Camera &cam, const Words &w) {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "error usage: pace on|off";
    cam.pace = w[1] == "on";
    return "ok";
}

std::string do_badexposure(Camera &cam, const Words &w) {
    long n;
    if (w.size() != 2 || !parse_int(w[1], 0, 1000000, n)) return "error usage: badexposure N";
    cam.badExposures = static_cast<int>(n);
    return "ok";
}

std::string do_status(Camera &cam, const Words &) {
    std::ostringstream s;
    s << "ok counter=" << cam.counter << " pictures=" << camera_pictures(cam)
      << " slots=" << cam.slots.size() << " grabs=" << cam.grabs
      << " grabresult=" << static_cast<int>(cam.grabResult) << " pace=" << (cam.pace ? "on" : "off")
      << " faults=" << cam.faults.size() << " commands=" << cam.commands
      << " refused=" << cam.refused << " injected=" << cam.faultsInjected
      << " buzzes=" << cam.buzzes << " black=" << cam.blackLevel;
    return s.str();
}

std::string do_unplug(Camera &cam, const Words &) {
    cam.unplug = true;
    return "ok";
}

std::string do_help(Camera &, const Words &) {
    return "ok commands: fault LETTER KIND [COUNT|always], clear, last, raw HEX..., slowack MS, "
           "delay MS, load SLOT FILE, scene SLOT N, erase SLOT|all, counter N, pace on|off, "
           "badexposure N, unplug, status, help";
}

struct ControlCommand {
    const char *name;
    std::string (*run)(Camera &, const Words &);
};

const ControlCommand kControlCommands[] = {
    {"fault", do_fault},     {"clear", do_clear},     {"last", do_last},
    {"raw", do_raw},         {"slowack", do_slowack}, {"delay", do_delay},
    {"load", do_load},       {"scene", do_scene},     {"erase", do_erase},
    {"counter", do_counter}, {"pace", do_pace},       {"badexposure", do_badexposure},
    {"status", do_status},   {"unplug", do_unplug},   {"help", do_help},
};

} // namespace

bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &bytes) {
    bytes.clear();
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(
            static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

std::string control_execute(Camera &camera, const std::string &line) {
    Words words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return "error empty command";
    for (const ControlCommand &c : kControlCommands)
        if (words[0] == c.name) return c.run(camera, words);
    return "error unknown command '" + words[0] + "' (try help)";
}

} // namespace camsim
