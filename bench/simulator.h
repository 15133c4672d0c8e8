// A camera simulator of a benchmark's own, on a new pseudo-terminal.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace benchsim {

struct Simulator {
    pid_t pid = -1;
    std::string port; // empty when it did not start
};

// Runs CAMSIM with these options and waits for its "camera: PORT" line. The
// pipe stays open: the simulator may go on printing.
inline Simulator Start(const std::string &camsim, const std::vector<std::string> &options) {
    Simulator s;
    int out[2];
    if (pipe(out) != 0) return s;
    std::vector<const char *> argv{camsim.c_str()};
    for (const std::string &o : options) argv.push_back(o.c_str());
    argv.push_back(nullptr);
    s.pid = fork();
    if (s.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execv(argv[0], const_cast<char **>(argv.data()));
        _exit(127);
    }
    close(out[1]);
    FILE *f = fdopen(out[0], "r");
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "camera: ", 8) == 0) {
            s.port = line + 8;
            s.port.erase(s.port.find_last_not_of("\r\n") + 1);
            break;
        }
    return s;
}

inline void Stop(Simulator &s) {
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        waitpid(s.pid, nullptr, 0);
    }
    s.pid = -1;
}

} // namespace benchsim
