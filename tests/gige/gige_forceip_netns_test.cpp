// Force-IP for real: a simulated camera runs in a network namespace of its own, joined by a veth
// pair to a second namespace in which the module runs (on a thread moved there with setns). The
// host finds the camera by discovery, sends force-IP for its MAC through the interface's
// registers and finds it at the new address on the next discovery. The camera's namespace
// routes a block of its subnet locally, as a camera's own stack would take an address it is given.
//
// Creating namespaces needs root (CI runs as root); elsewhere the test skips and says why. Only
// addresses inside the two namespaces are used, and both namespaces are deleted at the end, also
// on failure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "GigEHostSupport.h"

extern char** environ;

namespace {

using namespace GigEHostTest;
using Lumora::IDevice;
using Lumora::IInterface;
using Lumora::u64;

// Runs a command; its output is kept for the skip or failure message.
bool Run(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return false;
    char line[256];
    std::string text;
    while (fgets(line, sizeof line, pipe) != nullptr) text += line;
    const int status = pclose(pipe);
    if (output != nullptr) *output = text;
    return status == 0;
}

// Two namespaces joined by a veth pair, deleted again when the object ends.
class NamespacePair {
public:
    NamespacePair() {
        const std::string id = std::to_string(getpid());
        camera = "kovon-gige-cam-" + id;
        host = "kovon-gige-host-" + id;
        subnet = "10.213." + std::to_string(100 + getpid() % 100) + ".";
    }
    ~NamespacePair() {
        Run("ip netns del " + camera);
        Run("ip netns del " + host);
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // Empty on success, else what failed.
    std::string Create() {
        const std::string cam = "ip -n " + camera + " ";
        const std::string hst = "ip -n " + host + " ";
        const std::vector<std::string> steps = {
            "ip netns add " + camera,
            "ip netns add " + host,
            "ip link add kvcam0 netns " + camera + " type veth peer name kvhost0 netns " + host,
            cam + "addr add " + subnet + "2/24 brd + dev kvcam0",
            cam + "link set kvcam0 up",
            cam + "link set lo up",
            // Addresses .64 to .127 are the camera's to take (the host's own .1 stays outside).
            cam + "route add local " + subnet + "64/26 dev lo",
            hst + "addr add " + subnet + "1/24 brd + dev kvhost0",
            hst + "link set kvhost0 up",
        };
        for (const std::string& step : steps) {
            std::string output;
            if (!Run(step, &output)) return step + ": " + output;
        }
        return {};
    }

    std::string camera, host, subnet;
};

// The simulator program inside the camera's namespace.
class CameraProcess {
public:
    CameraProcess(const std::string& ns, const std::string& spec) {
        std::vector<std::string> argv = {"ip", "netns", "exec", ns, KOVON_SIM_PATH, spec};
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, "ip", nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
    }
    ~CameraProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);  // ip netns exec replaces itself with the simulator
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    CameraProcess(const CameraProcess&) = delete;
    CameraProcess& operator=(const CameraProcess&) = delete;
    bool Started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

struct Outcome {
    std::string error;  // empty when every step passed
    std::string addressBefore, addressAfter;
    int forceIpStatus = 1;
    uint32_t widthAtNewAddress = 0;
};

std::string CameraAddress(IInterface* gige, const char* name) {
    IDevice* copy = nullptr;
    if (gige->GetDevice(name, copy) != 0) return {};
    const std::string address = InfoText(copy, 14);
    copy->Release();
    return address;
}

int SelectorOf(IInterface* gige, const char* name) {
    unsigned count = 0;
    gige->GetNumDevices(count, 500);
    for (unsigned i = 0; i < count; ++i) {
        char text[256] = {};
        u64 size = sizeof text;
        if (gige->GetDeviceName(i, text, size) == 0 && std::string(text) == name) return static_cast<int>(i);
    }
    return -1;
}

// Everything the host does, on a thread that lives in the host's namespace.
void HostSide(const std::string& nsPath, const std::string& subnet, Outcome& out) {
    const int fd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        out.error = "cannot enter " + nsPath;
        if (fd >= 0) close(fd);
        return;
    }
    close(fd);
    const char* name = "FI-NET_SN_NS1";
    Lumora::ISystem* system = KovonTest::ModuleLoader::Instance().NewSystem();
    IInterface* gige = nullptr;
    if (system == nullptr || system->OpenInterface("Interface_GigEVision", gige) != 0) {
        out.error = "no GigE Vision interface";
        if (system != nullptr) system->Release();
        return;
    }
    int selector = -1;
    for (int attempt = 0; attempt < 20 && selector < 0; ++attempt) selector = SelectorOf(gige, name);
    if (selector < 0) {
        out.error = "the camera was never discovered";
        system->Release();
        return;
    }
    out.addressBefore = CameraAddress(gige, name);

    auto setText = [&](u64 id, const std::string& text) {
        u64 size = text.size() + 1;
        return gige->SetParam(id, const_cast<char*>(text.c_str()), size);
    };
    uint32_t wire = htonl(static_cast<uint32_t>(selector));
    u64 size = 4;
    if (gige->SetParam(0x800, &wire, size) != 0 || setText(0x810, subnet + "77") != 0 ||
        setText(0x820, "255.255.255.0") != 0 || setText(0x830, "0.0.0.0") != 0) {
        out.error = "the force-IP registers refused the settings";
        system->Release();
        return;
    }
    wire = htonl(1);
    size = 4;
    out.forceIpStatus = gige->SetParam(0x840, &wire, size);

    for (int attempt = 0; attempt < 20 && out.addressAfter != subnet + "77"; ++attempt) {
        if (SelectorOf(gige, name) >= 0) out.addressAfter = CameraAddress(gige, name);
    }
    IDevice* device = nullptr;
    if (gige->OpenDevice(name, device) == 0) {
        GetReg(device, 0xA004, out.widthAtNewAddress);
        device->Release();
    }
    system->Release();
}

TEST(GigEForceIp, CameraTakesTheNewAddressAcrossNamespaces) {
    if (geteuid() != 0) GTEST_SKIP() << "creating network namespaces needs root; force-IP was not exercised";
    NamespacePair pair;
    const std::string failure = pair.Create();
    if (!failure.empty()) GTEST_SKIP() << "network namespaces cannot be made here (" << failure << ")";

    CameraProcess camera(pair.camera, pair.subnet + "2,FI-NET,NS1");
    ASSERT_TRUE(camera.Started());
    Outcome outcome;
    std::thread host(HostSide, "/var/run/netns/" + pair.host, pair.subnet, std::ref(outcome));
    host.join();

    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.addressBefore, pair.subnet + "2");
    EXPECT_EQ(outcome.forceIpStatus, 0);
    EXPECT_EQ(outcome.addressAfter, pair.subnet + "77");
    EXPECT_EQ(outcome.widthAtNewAddress, 640u);  // opened and read at the new address
}

}  // namespace
