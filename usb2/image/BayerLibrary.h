#pragma once
// The Bayer demosaicing of the colour USB 2.0 models is delegated to OpenCV's C entry point
// cvCvtColor, found at run time so that the module neither links OpenCV nor needs it for
// monochrome cameras.
//
// Where it is looked for, first hit wins:
//  1. an "OpenCVLib" folder beside the module (a library shipped with the module);
//  2. the system's OpenCV imgproc library, by its shared-object name.
// Each owner holds its own handle; the dynamic loader counts them. The library is opened with
// RTLD_NODELETE: OpenCV keeps a worker-thread pool, and unmapping its code while those threads
// exist would crash the process, so closing the last handle leaves it mapped.
#include <string>
#include <vector>

namespace Kovon::Usb2Image {

// OpenCV's CvMat header, laid out as its C interface defines it. The converter builds these on the
// stack over caller buffers: continuous, no reference count.
struct CvMatHeader {
    int type;
    int step;
    int* refcount;
    int hdrRefcount;
    unsigned char* data;
    int rows;
    int cols;
};

// Type words of an 8-bit continuous matrix header with one and three channels.
constexpr int kCvMat8UC1 = 0x42424000;
constexpr int kCvMat8UC3 = 0x42424010;

// Conversion codes. The cameras' Bayer layout has blue at the top-left of each 2x2 cell; OpenCV
// names Bayer layouts after the second row's second and third pixels, so that layout is its
// "RG" family.
constexpr int kCvBayerRG2BGR = 48;
constexpr int kCvBayerRG2GRAY = 88;

using CvtColorFunction = void (*)(const void* src, void* dst, int code);

// Candidate files in search order for a module in directory 'moduleDirectory' (empty: unknown, only
// the system library is tried).
std::vector<std::string> BayerLibraryCandidates(const std::string& moduleDirectory);

class CBayerLibrary {
public:
    // Tries the default candidates (beside the module, then the system).
    CBayerLibrary();
    // Tries exactly the given files, in order.
    explicit CBayerLibrary(const std::vector<std::string>& candidates);
    ~CBayerLibrary();
    CBayerLibrary(const CBayerLibrary&) = delete;
    CBayerLibrary& operator=(const CBayerLibrary&) = delete;

    // Null when no candidate loaded or none exports cvCvtColor.
    CvtColorFunction Function() const { return function_; }
    // The candidate that was loaded; empty when none.
    const std::string& Path() const { return path_; }

private:
    void Load(const std::vector<std::string>& candidates);

    void* handle_ = nullptr;
    CvtColorFunction function_ = nullptr;
    std::string path_;
};

}  // namespace Kovon::Usb2Image
