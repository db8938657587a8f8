#include "ToolRunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace KovonGrabTest {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempFile(const char* kind) {
    std::string path = std::string("/tmp/kovon-grab-") + kind + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return std::string();
    close(fd);
    return path;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : outPath_(TempFile("out")), errPath_(TempFile("err")) {
    if (outPath_.empty() || errPath_.empty()) return;
    std::vector<std::string> copies;
    copies.push_back(program);
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        if (out < 0 || err < 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !ended_) {
        Kill(SIGKILL);
        Wait();
    }
    if (!outPath_.empty()) unlink(outPath_.c_str());
    if (!errPath_.empty()) unlink(errPath_.c_str());
}

std::string ChildProcess::Out() const {
    return Slurp(outPath_);
}

std::string ChildProcess::Err() const {
    return Slurp(errPath_);
}

bool ChildProcess::WaitForOutput(const std::string& text) {
    if (pid_ <= 0) return false;
    for (;;) {
        if (Out().find(text) != std::string::npos || Err().find(text) != std::string::npos) return true;
        if (ended_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            ended_ = true;
            status_ = status;
            continue;  // one more look at what it wrote before it ended
        }
        usleep(10000);
    }
}

void ChildProcess::Kill(int signal) {
    if (pid_ > 0 && !ended_) kill(pid_, signal);
}

ToolRun ChildProcess::Wait() {
    ToolRun run;
    if (pid_ <= 0) return run;
    if (!ended_) {
        int status = 0;
        pid_t waited;
        do {
            waited = waitpid(pid_, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited == pid_) status_ = status;
        ended_ = true;
    }
    if (WIFEXITED(status_)) run.exitCode = WEXITSTATUS(status_);
    run.out = Out();
    run.err = Err();
    return run;
}

ToolRun RunTool(const std::vector<std::string>& args) {
    ChildProcess tool(KOVON_GRAB_PATH, args);
    return tool.Wait();
}

}  // namespace KovonGrabTest
