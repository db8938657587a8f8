// kovon-grab run end to end on simulated cameras of all three transports: what it lists and
// shows, the images it grabs (size, bit depth and every pixel against the simulated camera's
// pattern), and the exit code and message of each kind of failure.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PngReader.h"
#include "ToolRunner.h"
#include "KovonSim/SimUsb2.h"
#include "ModuleHost.h"

namespace {

using KovonGrabTest::ChildProcess;
using KovonGrabTest::PngFile;
using KovonGrabTest::ReadPng;
using KovonGrabTest::RunTool;
using KovonGrabTest::ToolRun;

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

std::string Joined(const std::vector<std::string>& args) {
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    return joined;
}

// The cameras that --simulate plugs.
const char kMono[] = "RT-GA47E_SN_48115000001";
const char kColour[] = "RT-KA47E_SN_48515000002";
const char kGigE[] = "KVS-GEV-M8_SN_KVS-GEV-0001";
const char kU3V[] = "KVS-U3V-M8_SN_KVS-U3V-0001";

// The line of `listing` that names `deviceName`.
std::string LineOf(const std::string& listing, const std::string& deviceName) {
    const size_t at = listing.find(deviceName);
    if (at == std::string::npos) return std::string();
    const size_t begin = listing.rfind('\n', at) + 1;
    return listing.substr(begin, listing.find('\n', at) - begin);
}

TEST(GrabToolTest, ListsSimulatedCamerasOfEveryTransport) {
    const ToolRun run = RunTool({"--simulate", "list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // transport, device name, model, serial, address
    const std::vector<std::vector<std::string>> expected = {
        {"USB2", kMono, "RT-GA47E", "SN_48115000001", "ZEDIVOXU-0"},
        {"USB2", kColour, "RT-KA47E", "SN_48515000002", "ZEDIVOXU-1"},
        {"GigE", kGigE, "KVS-GEV-M8", "SN_KVS-GEV-0001", "127.0.0."},
        {"U3V", kU3V, "KVS-U3V-M8", "SN_KVS-U3V-0001", "sim:u3v:KVS-U3V-0001"},
    };
    for (const auto& camera : expected) {
        SCOPED_TRACE(camera[1]);
        const std::string line = LineOf(run.out, camera[1]);
        ASSERT_FALSE(line.empty()) << run.out;
        for (const std::string& field : camera) EXPECT_TRUE(Contains(line, field));
    }
    // Without --simulate the same program finds none of them.
    const ToolRun plain = RunTool({"list"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    for (const auto& camera : expected) EXPECT_EQ(plain.out.find(camera[1]), std::string::npos) << plain.out;
}

TEST(GrabToolTest, ShowsOneCameraNamedByDeviceNameSerialOrNumber) {
    for (const std::string& key : {std::string(kColour), std::string("SN_48515000002")}) {
        SCOPED_TRACE(key);
        const ToolRun run = RunTool({"--simulate", "info", key});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "device name   RT-KA47E_SN_48515000002\n"));
        EXPECT_TRUE(Contains(run.out, "model         RT-KA47E\n"));
        EXPECT_TRUE(Contains(run.out, "serial        SN_48515000002\n"));
        EXPECT_TRUE(Contains(run.out, "address       ZEDIVOXU-1\n"));
        EXPECT_TRUE(Contains(run.out, "description   Local:RT-KA47E.xml;700;b454\n"));
    }
    // The list number: the first USB 2.0 camera is listed first.
    const ToolRun first = RunTool({"--simulate", "info", "0"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_TRUE(Contains(first.out, "device name   RT-GA47E_SN_48115000001\n"));
    // A GigE Vision camera adds its network addresses; its description comes from the camera.
    const ToolRun gige = RunTool({"--simulate", "info", kGigE});
    ASSERT_EQ(gige.exitCode, 0) << gige.err;
    EXPECT_TRUE(Contains(gige.out, "transport     GigE (Interface_GigEVision)\n"));
    EXPECT_TRUE(Contains(gige.out, "IP address    127.0.0."));
    EXPECT_TRUE(Contains(gige.out, "description   Local:"));
}

TEST(GrabToolTest, ReadsAndWritesFeaturesByNameThroughEachCamerasDescription) {
    struct {
        std::vector<std::string> args;
        const char* shown;
    } cases[] = {
        {{"get", kMono, "DeviceModelName"}, "DeviceModelName = RT-GA47E"},
        {{"get", kMono, "Width"}, "Width = 640  [16 to 1280, step 16]"},
        {{"get", kColour, "PixelFormat"}, "PixelFormat = Mono8  [one of Mono8, BayerBG8, BGR8Packed]"},
        {{"set", kColour, "PixelFormat", "BGR8Packed"}, "PixelFormat = BGR8Packed"},
        {{"set", kColour, "Height", "480"}, "Height = 480"},
        {{"get", kGigE, "Width"}, "Width = 640  [8 to 4096, step 4]"},
        {{"set", kGigE, "PixelFormat", "Mono12Packed"}, "PixelFormat = Mono12Packed"},
        {{"get", kU3V, "DeviceModelName"}, "DeviceModelName = KVS-U3V-M8"},
        {{"set", kU3V, "PixelFormat", "Mono16"}, "PixelFormat = Mono16"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--simulate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(Joined(args));
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, c.shown));
    }
    const ToolRun listing = RunTool({"--simulate", "features", kColour});
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    EXPECT_TRUE(Contains(listing.out, "ImageFormatControl\n"));
    // A feature whose pIsLocked holds says so.
    EXPECT_TRUE(Contains(LineOf(listing.out, "  AcquisitionFrameRate "), "RW locked"));
}

class GrabImagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kovon-grab-images-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // The files written into `dir`, by name.
    static std::vector<std::string> Files(const std::string& dir) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        return files;
    }

    std::string dir_;
};

// Checks every pixel of one image file; returns a description of the first wrong one, or "".
using PixelCheck = std::function<std::string(const PngFile&)>;
using PatternValue = std::function<unsigned(uint32_t x, uint32_t y, uint64_t frame)>;
using FrameFinder = std::function<bool(const PngFile&, uint64_t& frame)>;

struct ImageCase {
    const char* what;
    const char* camera;
    std::vector<std::string> settings;  // -s FEATURE=VALUE
    uint32_t width, height;
    int bitDepth, colorType, significantBits;
    PixelCheck check;
};

std::string Mismatch(uint32_t x, uint32_t y, unsigned got, unsigned expected) {
    return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is " + std::to_string(got) +
           ", the pattern says " + std::to_string(expected);
}

// Compares every grey sample, shifted down to the format's depth (the bits below must be 0), with
// value(x, y, frame); the frame's pattern number comes from `frameOf`.
PixelCheck GreyPattern(int shift, FrameFinder frameOf, PatternValue value) {
    return [=](const PngFile& png) -> std::string {
        uint64_t frame = 0;
        if (!frameOf(png, frame)) return "the first pixels fit no frame of the pattern";
        for (uint32_t y = 0; y < png.height; ++y)
            for (uint32_t x = 0; x < png.width; ++x) {
                const unsigned stored = png.Sample(x, y);
                if ((stored & ((1u << shift) - 1)) != 0 || (stored >> shift) != value(x, y, frame))
                    return Mismatch(x, y, stored >> shift, value(x, y, frame));
            }
        return std::string();
    };
}

// The frame number in [0, count) that makes value(x, y, frame) match the image at (x, y).
FrameFinder FrameAt(uint32_t x, uint32_t y, int shift, uint64_t count, PatternValue value) {
    return [=](const PngFile& png, uint64_t& frame) {
        for (frame = 0; frame < count; ++frame)
            if (value(x, y, frame) == png.Sample(x, y) >> shift) return true;
        return false;
    };
}

// The simulated GigE Vision camera: x + 3y + 17s for pattern s, cut to the format's depth.
unsigned GigEValue(uint32_t x, uint32_t y, uint64_t s, int depth) {
    return static_cast<unsigned>(x + 3ull * y + 17 * s) & ((1u << depth) - 1);
}

PixelCheck GigEGrey(int depth, int fileDepth) {
    auto value = [depth](uint32_t x, uint32_t y, uint64_t s) { return GigEValue(x, y, s, depth); };
    const int shift = fileDepth - depth;
    return GreyPattern(shift, FrameAt(0, 0, shift, 256, value), value);
}

// RGB8Packed: red x + s, green y, blue 17s.
std::string GigERgb(const PngFile& png) {
    uint64_t s = 0;
    while (s < 256 && ((17 * s) & 0xFF) != png.Sample(0, 0, 2)) ++s;
    for (uint32_t y = 0; y < png.height; ++y)
        for (uint32_t x = 0; x < png.width; ++x) {
            const unsigned expected[3] = {static_cast<unsigned>((x + s) & 0xFF), y & 0xFFu,
                                          static_cast<unsigned>((17 * s) & 0xFF)};
            for (int c = 0; c < 3; ++c)
                if (png.Sample(x, y, c) != expected[c]) return Mismatch(x, y, png.Sample(x, y, c), expected[c]);
        }
    return std::string();
}

// The simulated USB3 Vision camera: every byte of a pixel is x + 3y + 40 (k mod 4).
unsigned U3vByte(uint32_t x, uint32_t y, uint64_t k) {
    return static_cast<unsigned>(x + 3ull * y + 40 * (k % 4)) & 0xFF;
}

PixelCheck U3vGrey(bool sixteen) {
    auto value = [sixteen](uint32_t x, uint32_t y, uint64_t k) {
        return sixteen ? U3vByte(x, y, k) * 0x101 : U3vByte(x, y, k);
    };
    return GreyPattern(0, FrameAt(0, 0, 0, 4, value), value);
}

// The simulated USB 2.0 cameras send the frames of their generator, which this process can ask
// for: a camera of the same model plugged here, with the same image registers, gives the frame of
// each phase as the camera sends it (raw data: 8-bit bytes or 16-bit words, low byte first).
class Usb2Frames {
public:
    Usb2Frames(const unsigned char serial[6], uint16_t formatCode) : instance_(40 + next_++ % 20) {
        plug_ = reinterpret_cast<decltype(plug_)>(host_.Symbol("KovonSimUsb2_Plug"));
        unplug_ = reinterpret_cast<decltype(unplug_)>(host_.Symbol("KovonSimUsb2_Unplug"));
        poke_ = reinterpret_cast<decltype(poke_)>(host_.Symbol("KovonSimUsb2_PokeRegister"));
        getFrame_ = reinterpret_cast<decltype(getFrame_)>(host_.Symbol("KovonSimUsb2_GetFrame"));
        if (plug_ == nullptr || unplug_ == nullptr || poke_ == nullptr || getFrame_ == nullptr) return;
        plugged_ = plug_(instance_, serial, 0x1203, 0x0200) == KOVON_SIM_OK &&
                   poke_(instance_, 0x43E, formatCode) == KOVON_SIM_OK;
    }
    ~Usb2Frames() {
        if (plugged_) unplug_(instance_);
    }
    std::vector<uint8_t> Frame(unsigned phase) const {
        uint64_t size = 0;
        if (!plugged_ || getFrame_(instance_, phase, nullptr, &size) != KOVON_SIM_OK) return {};
        std::vector<uint8_t> frame(static_cast<size_t>(size));
        if (getFrame_(instance_, phase, frame.data(), &size) != KOVON_SIM_OK) return {};
        return frame;
    }

private:
    static inline unsigned next_ = 0;
    const unsigned instance_;  // a driver instance of this process
    KovonGrab::ModuleHost host_{KOVON40_MODULE_PATH};
    int (*plug_)(unsigned, const unsigned char*, unsigned short, unsigned short) = nullptr;
    int (*unplug_)(unsigned) = nullptr;
    int (*poke_)(unsigned, unsigned short, unsigned short) = nullptr;
    int (*getFrame_)(unsigned, unsigned, void*, uint64_t*) = nullptr;
    bool plugged_ = false;
};

// The image holds one of the camera's frames unchanged: grey samples shifted down by `shift`
// equal the raw values of `depth` bits.
PixelCheck Usb2Raw(const unsigned char serial[6], uint16_t formatCode, int depth, int shift) {
    auto frames = std::make_shared<Usb2Frames>(serial, formatCode);
    return [=](const PngFile& png) -> std::string {
        const size_t bytes = depth > 8 ? 2 : 1;
        for (unsigned phase = 0; phase < KOVON_SIM_USB2_FRAME_PHASES; ++phase) {
            const std::vector<uint8_t> raw = frames->Frame(phase);
            if (raw.size() != size_t{png.width} * png.height * bytes) return "no frame from the generator";
            bool same = true;
            for (uint32_t i = 0; same && i < png.width * png.height; ++i) {
                const unsigned value = bytes == 2 ? (raw[2 * i] | raw[2 * i + 1] << 8) & ((1u << depth) - 1) : raw[i];
                same = png.Sample(i % png.width, i / png.width) == value << shift;
            }
            if (same) return std::string();
        }
        return "the image is none of the camera's frames";
    };
}

const unsigned char kMonoSerial[6] = {0x48, 0x11, 0x05, 0x00, 0x00, 0x01};
const unsigned char kColourSerial[6] = {0x48, 0x51, 0x05, 0x00, 0x00, 0x02};

// A colour image: not grey everywhere.
std::string NotGrey(const PngFile& png) {
    for (uint32_t y = 0; y < png.height; ++y)
        for (uint32_t x = 0; x < png.width; ++x)
            if (png.Sample(x, y, 0) != png.Sample(x, y, 1) || png.Sample(x, y, 1) != png.Sample(x, y, 2))
                return std::string();
    return "every pixel is grey";
}

// Runs one grab; false (the test failed) when there is nothing to check.
bool GrabInto(const ImageCase& c, const std::string& dir, unsigned frames) {
    std::vector<std::string> args = {"--simulate", "grab", c.camera, "-n", std::to_string(frames), "-o", dir};
    for (const std::string& s : c.settings) args.insert(args.end(), {"-s", s});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, std::to_string(frames) + " frames of " + std::to_string(c.width) + " x " +
                                      std::to_string(c.height)));
    return run.exitCode == 0;
}

void CheckImages(const ImageCase& c, const std::vector<std::string>& files, unsigned frames) {
    ASSERT_EQ(files.size(), frames);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const PngFile png = ReadPng(path);
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.width, c.width);
        EXPECT_EQ(png.height, c.height);
        EXPECT_EQ(png.bitDepth, c.bitDepth);
        EXPECT_EQ(png.colorType, c.colorType);
        EXPECT_EQ(png.significantBits, c.significantBits);
        if (png.width == c.width && png.height == c.height && png.bitDepth == c.bitDepth &&
            png.colorType == c.colorType) {
            EXPECT_EQ(c.check(png), "");
        }
    }
}

TEST_F(GrabImagesTest, GigEVisionAndUsb3VisionFramesMatchTheSimulatorsPatterns) {
    const ImageCase cases[] = {
        {"GigE Mono8", kGigE, {}, 640, 480, 8, PNG_COLOR_TYPE_GRAY, 0, GigEGrey(8, 8)},
        {"GigE Mono10", kGigE, {"PixelFormat=Mono10", "Width=320"}, 320, 480, 16, PNG_COLOR_TYPE_GRAY, 10,
         GigEGrey(10, 16)},
        {"GigE Mono12Packed", kGigE, {"Width=320", "PixelFormat=Mono12Packed", "Height=200"}, 320, 200, 16,
         PNG_COLOR_TYPE_GRAY, 12, GigEGrey(12, 16)},
        {"GigE BayerRG8, raw", kGigE, {"PixelFormat=BayerRG8"}, 640, 480, 8, PNG_COLOR_TYPE_GRAY, 0,
         GigEGrey(8, 8)},
        {"GigE RGB8Packed", kGigE, {"PixelFormat=RGB8Packed", "Height=100"}, 640, 100, 8, PNG_COLOR_TYPE_RGB, 0,
         GigERgb},
        {"U3V Mono8", kU3V, {}, 1280, 1024, 8, PNG_COLOR_TYPE_GRAY, 0, U3vGrey(false)},
        {"U3V Mono16", kU3V, {"PixelFormat=Mono16"}, 1280, 1024, 16, PNG_COLOR_TYPE_GRAY, 0, U3vGrey(true)},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = dir_ + "/" + std::to_string(&c - cases);
        if (!GrabInto(c, dir, 3)) continue;
        CheckImages(c, Files(dir), 3);
    }
}

TEST_F(GrabImagesTest, Usb2FramesArriveAsTheCameraSentThem) {
    const ImageCase cases[] = {
        {"monochrome Mono8", kMono, {}, 640, 480, 8, PNG_COLOR_TYPE_GRAY, 0, Usb2Raw(kMonoSerial, 0, 8, 0)},
        {"monochrome Mono12", kMono, {"PixelFormat=Mono12"}, 640, 480, 16, PNG_COLOR_TYPE_GRAY, 12,
         Usb2Raw(kMonoSerial, 5, 12, 4)},
        {"colour BayerBG8, raw", kColour, {"PixelFormat=BayerBG8"}, 640, 480, 8, PNG_COLOR_TYPE_GRAY, 0,
         Usb2Raw(kColourSerial, 2, 8, 0)},
        {"colour BGR8Packed", kColour, {"PixelFormat=BGR8Packed"}, 640, 480, 8, PNG_COLOR_TYPE_RGB, 0, NotGrey},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = dir_ + "/" + std::to_string(&c - cases);
        if (!GrabInto(c, dir, 3)) continue;
        CheckImages(c, Files(dir), 3);
    }
}

struct ErrorCase {
    std::vector<std::string> args;
    int exitCode;
    const char* message;  // part of what the user reads on stderr
};

void ExpectFailures(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_TRUE(Contains(run.err, c.message));
    }
}

TEST(GrabToolTest, UsageAndLookupFailuresHaveTheirOwnExitCodes) {
    ExpectFailures({
        {{"--simulate", "info", "RT-XX99E_SN_00000000000"}, 4, "no camera \"RT-XX99E_SN_00000000000\""},
        {{"--simulate", "info", "99"}, 4, "no camera \"99\""},
        {{"info", kMono}, 4, "no camera"},  // not plugged without --simulate
        {{"--simulate", "get", "nobody", "Width"}, 4, "no camera"},
        {{"--simulate", "grab", "nobody", "-n", "1"}, 4, "no camera"},
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{}, 2, "usage:"},
        {{"info"}, 2, "wrong number of arguments for info"},
        {{"set", "0", "Width"}, 2, "wrong number of arguments for set"},
        {{"grab", "0", "-n", "0"}, 2, "-n takes a frame count"},
        {{"grab", "0", "-n", "ten"}, 2, "-n takes a frame count"},
        {{"grab", "0", "-s", "Width"}, 2, "-s takes FEATURE=VALUE"},
        {{"grab", "0", "-s", "=640"}, 2, "-s takes FEATURE=VALUE"},
        {{"-s", "Width=640", "list"}, 2, "-s applies to grab only"},
        {{"--timeout", "0", "list"}, 2, "--timeout takes"},
        {{"--colour", "list"}, 2, "unknown option --colour"},
        {{"--module", "/nonexistent/libkovon40.so", "list"}, 3, "cannot load the module"},
    });
}

// On the cameras' own register descriptions: ranges, increments, entries, access and locks.
TEST(GrabToolTest, FeatureFailuresHaveTheirOwnExitCodes) {
    ExpectFailures({
        {{"--simulate", "get", kMono, "NoSuchFeature"}, 6, "no feature \"NoSuchFeature\""},
        {{"--simulate", "set", kGigE, "NoSuchFeature", "1"}, 6, "no feature"},
        {{"--simulate", "set", kColour, "PixelFormat", "Mono12"}, 7, "one of Mono8, BayerBG8, BGR8Packed"},
        {{"--simulate", "set", kMono, "ExposureTime", "abc"}, 7, "not a number"},
        {{"--simulate", "set", kColour, "Height", "2000"}, 8, "out of range for \"Height\" (8 to 1024, step 2)"},
        {{"--simulate", "set", kColour, "Height", "6"}, 8, "out of range"},
        {{"--simulate", "set", kColour, "Height", "481"}, 8, "off the increment"},
        {{"--simulate", "set", kGigE, "Width", "5000"}, 8, "out of range for \"Width\" (8 to 4096, step 4)"},
        {{"--simulate", "set", kMono, "ExposureTime", "1e12"}, 8, "out of range"},
        // The frame rate is locked while the frame-rate mode is off.
        {{"--simulate", "set", kColour, "AcquisitionFrameRate", "10"}, 9, "\"AcquisitionFrameRate\" is locked"},
        {{"--simulate", "set", kMono, "Width", "640"}, 10, "read-only"},
        {{"--simulate", "set", kMono, "DeviceModelName", "x"}, 10, "read-only"},
    });
}

TEST_F(GrabImagesTest, ABadSettingStopsAGrabBeforeAnyFrame) {
    const ToolRun run = RunTool({"--simulate", "grab", kGigE, "-n", "2", "-o", dir_, "-s", "PixelFormat=Mono8",
                                 "-s", "Width=642"});
    EXPECT_EQ(run.exitCode, 8) << run.err;
    EXPECT_TRUE(Contains(run.err, "off the increment for \"Width\""));
    EXPECT_TRUE(Files(dir_).empty());
}

TEST_F(GrabImagesTest, FramesThatTheStreamRejectsAreCountedAndReported) {
    // The GigE Vision stream hands over no frame in BGR8Packed, though the camera offers it.
    const ToolRun run = RunTool({"--simulate", "--timeout", "1000", "grab", kGigE, "-n", "2", "-o", dir_, "-s",
                                 "PixelFormat=BGR8Packed"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, "last with status -1"));
    EXPECT_TRUE(Files(dir_).empty());
}

// A GigE Vision camera in a process of its own, which the test can silence or end.
class SeparateGigECamera : public ::testing::Test {
protected:
    static constexpr const char* kAddress = "127.0.0.4";
    static constexpr const char* kName = "KVS-GEV-SEP_SN_KVS-SEP-0004";

    void Start(const std::vector<std::string>& options) {
        std::vector<std::string> args = options;
        args.push_back(std::string(kAddress) + ",KVS-GEV-SEP,KVS-SEP-0004");
        camera_ = std::make_unique<ChildProcess>(KOVON_SIM_PATH, args);
        ASSERT_TRUE(camera_->WaitForOutput("camera at")) << camera_->Err();
    }

    std::unique_ptr<ChildProcess> camera_;
};

TEST_F(SeparateGigECamera, ACameraThatSendsNothingIsATimeOut) {
    Start({"--loss", "1"});  // every stream packet is lost
    const ToolRun run = RunTool({"--timeout", "1000", "grab", kName, "-n", "2"});
    EXPECT_EQ(run.exitCode, 11) << run.err;
    EXPECT_TRUE(Contains(run.err, "no frame within 1000 ms"));
}

TEST_F(SeparateGigECamera, ACameraThatGoesAwayDuringAGrabIsLost) {
    Start({"--loss", "1"});
    ChildProcess grab(KOVON_GRAB_PATH, {"--timeout", "3000", "grab", kName, "-n", "2"});
    // The progress line shows once acquisition runs; then the camera's process ends.
    ASSERT_TRUE(grab.WaitForOutput("frames 0/2")) << grab.Err();
    camera_->Kill(SIGKILL);
    camera_->Wait();
    const ToolRun run = grab.Wait();
    EXPECT_EQ(run.exitCode, 12) << run.err;
    EXPECT_TRUE(Contains(run.err, std::string("camera ") + kName + " is gone"));
}

}  // namespace
