// Holds a named mutex or a camera index in a process of its own, for the cross-process tests
// (see ProbeProcess.h):
//   platform_probe <parent pid> mutex <name>     reports "created", "exists" or "failed"
//   platform_probe <parent pid> claim <storage>  reports "index <n>" (0 when none was free)
// It holds until it is killed; it is killed with its parent, so no probe outlives a test.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/CameraIndexTable.h"
#include "platform/NamedMutex.h"

namespace {

void Report(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void Hold() {
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (std::to_string(getppid()) != argv[1]) return 4;  // the parent died before prctl
    const std::string mode = argv[2];
    const char* const arg = argv[3];
    char start = 0;
    if (read(0, &start, 1) != 1) return 3;

    if (mode == "mutex") {
        Kovon::Platform::NamedMutex mutex;
        switch (mutex.Create(arg)) {
            case Kovon::Platform::NamedMutex::Result::Created: Report("created"); break;
            case Kovon::Platform::NamedMutex::Result::AlreadyExists: Report("exists"); break;
            case Kovon::Platform::NamedMutex::Result::Failed: Report("failed"); break;
        }
        Hold();
    }
    if (mode == "claim") {
        Kovon::Platform::CameraIndexTable table(arg);
        Report("index " + std::to_string(table.Claim()));
        Hold();
    }
    return 2;
}
