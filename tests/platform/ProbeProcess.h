#pragma once
// Runs platform_probe (PlatformProbe.cpp) as a separate process for the cross-process tests.
//
// Every probe reads its standard input from one start pipe: it waits for one byte, acts, reports
// one line on its own output pipe, then holds what it took until it is killed (at the latest with
// the test process). Writing one byte per probe to the start pipe releases them all at nearly the
// same moment.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace Kovon::Platform::Test {

class StartPipe {
public:
    StartPipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read_ = fds[0];
            write_ = fds[1];
        }
    }
    ~StartPipe() {
        Close();
        if (read_ >= 0) close(read_);
    }
    int ReadEnd() const { return read_; }
    // Releases 'count' waiting probes.
    bool Release(int count) {
        const std::string bytes(static_cast<std::size_t>(count), 'g');
        return write(write_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void Close() {
        if (write_ >= 0) close(write_);
        write_ = -1;
    }

private:
    int read_ = -1;
    int write_ = -1;
};

class Probe {
public:
    // Starts 'platform_probe <args...>' with its input on 'startFd'.
    Probe(const std::vector<std::string>& args, int startFd) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, startFd, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> all{KOVON_PLATFORM_PROBE, std::to_string(getpid())};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KOVON_PLATFORM_PROBE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Probe() {
        Kill();
        if (out_ >= 0) close(out_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool Started() const { return pid_ > 0; }

    // The probe's report line, or "" when it ended without one.
    std::string ReadLine() {
        std::string line;
        char c = 0;
        while (read(out_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    // Kills the probe with SIGKILL and reaps it: once this returns, everything the probe held has
    // been given back by the kernel.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// A text unique to this test process, for names and storage paths that parallel runs must not
// share.
inline std::string UniqueName(const std::string& what) {
    static int counter = 0;
    return "kovon40-test-" + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

}  // namespace Kovon::Platform::Test
