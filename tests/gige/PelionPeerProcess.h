#pragma once
// Starts a peer program (an independent GigE Vision implementation) for a test and stops it
// again; only the process it started is ever signalled.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace PelionTest {

class PeerProcess {
public:
    explicit PeerProcess(std::vector<std::string> argv) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
    }
    ~PeerProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

}  // namespace PelionTest
