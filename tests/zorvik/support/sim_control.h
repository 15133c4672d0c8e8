// The control lines of the simulators that with-ports.sh put on COM1 to COM4,
// and a watcher that answers message boxes as a user would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sessiontest {

// True when a simulator sits on COMn (1 to 4).
bool HasSimulator(int com);
// Sends one control line to the simulator on COMn; its answer, or "".
std::string Control(int com, const std::string &line);
// Control() that must answer "ok" (a test failure otherwise).
std::string ControlOk(int com, const std::string &line);
// A numeric field of the simulator's status line ("commands", "counter", ...).
long StatusField(int com, const char *field);
// Pulls the camera's cable on COMn: its line dies and a new one takes its name.
// Returns once the new line is in place, however slowly the simulator runs.
void Unplug(int com);
// The last command packet the simulator received.
std::vector<uint8_t> LastPacket(int com);

// What the watcher saw of one message box.
struct SeenBox {
    std::string caption;
    std::string text; // the box's message
    bool hasRetry = false;
    bool hasCancel = false;
};

// One answer: optionally run `before` (the user plugs the camera in), then
// press `button`.
struct BoxAnswer {
    int button;
    std::function<void()> before;
};

// Answers the next message boxes of this process in order from its own
// thread; Finish() waits for it and returns what it saw.
struct BoxWatcher {
    std::vector<BoxAnswer> answers;
    std::vector<SeenBox> seen;
    HANDLE thread = nullptr;
};
void StartWatcher(BoxWatcher &w, std::vector<BoxAnswer> answers);
std::vector<SeenBox> FinishWatcher(BoxWatcher &w);

} // namespace sessiontest
