#include "ToolRunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace

ToolRun RunTool(const std::vector<std::string>& args) {
    ToolRun run;
    char outPath[] = "/tmp/kovon-grab-out-XXXXXX";
    char errPath[] = "/tmp/kovon-grab-err-XXXXXX";
    const int out = mkstemp(outPath);
    const int err = mkstemp(errPath);
    if (out < 0 || err < 0) return run;
    std::vector<char*> argv;
    std::string program = KOVON_GRAB_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    close(err);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    unlink(outPath);
    unlink(errPath);
    return run;
}

}  // namespace KovonGrabTest
