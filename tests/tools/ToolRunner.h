#pragma once
// Runs kovon-grab as a user does, in a child process, and collects its exit code and output.
#include <string>
#include <vector>

namespace KovonGrabTest {

struct ToolRun {
    int exitCode = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args);

}  // namespace KovonGrabTest
