#pragma once
// Runs kovon-grab (or another program) as a user does, in a child process, and collects its exit
// code and output.
#include <sys/types.h>

#include <string>
#include <vector>

namespace KovonGrabTest {

struct ToolRun {
    int exitCode = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

// kovon-grab with these arguments, to its end.
ToolRun RunTool(const std::vector<std::string>& args);

// A program running beside the test; its output goes to files that can be read while it runs.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();  // kills the program if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    std::string Out() const;
    std::string Err() const;
    // Waits until `text` shows in the program's output or error output; false when the program
    // ended without showing it.
    bool WaitForOutput(const std::string& text);
    void Kill(int signal);
    // Waits for the end; the result holds the exit code and the whole output.
    ToolRun Wait();

private:
    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = -1;  // as waitpid gives it; -1: not known
    std::string outPath_, errPath_;
};

}  // namespace KovonGrabTest
