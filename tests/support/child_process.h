// Programs the tests start (the tool, SANE's front-ends, Python): their exit
// code and output, bounded in time so that a hung program fails its test, not
// the run.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace tarn_test {

using Clock = std::chrono::steady_clock;

struct Outcome {
    int code = -1;
    std::string out, err;
    double seconds = 0;
};

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Starts a program with extra environment; stdout and stderr to LOGS.out and
// LOGS.err. With a file size limit, a write past it fails with EFBIG as a full
// disk fails with ENOSPC, and nothing outside the test is needed for it.
inline pid_t Launch(const std::vector<std::string> &argv,
                    const std::map<std::string, std::string> &env, const std::string &logs,
                    const std::string &cwd = "", rlim_t fileSizeLimit = RLIM_INFINITY) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open((logs + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((logs + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (fileSizeLimit != RLIM_INFINITY) {
            // Ignored, so the write returns its error instead of killing the program.
            signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

inline Outcome Wait(pid_t pid, const std::string &logs, Clock::time_point started,
                    double limit = 60) {
    Outcome r;
    int status = 0;
    while (r.code < 0) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::duration<double>(Clock::now() - started).count() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "still running after " << limit << " s";
            r.code = 999;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    r.out = ReadFile(logs + ".out");
    r.err = ReadFile(logs + ".err");
    return r;
}

} // namespace tarn_test
