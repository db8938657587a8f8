#include "Churn.h"

#include <thread>

namespace KovonSoak {

namespace {

const char* const kInterfaceNames[3] = {"Interface_USB", "Interface_GigEVision", "Interface_U3Vision"};
// The cameras no runner streams, by interface.
const char* const kChurnNames[3] = {Cameras::kUsb2ChurnName, Cameras::kGigEChurnName, Cameras::kU3vChurnName};
constexpr unsigned kDiscoveryMs[3] = {0, 200, 0};

// Reads a text through an (id, buffer, size) call: the size first, then the text.
template <typename Get>
int ReadText(Get&& get, Lumora::u64 id) {
    Lumora::u64 size = 0;
    int rc = get(id, nullptr, size);
    if (rc != 0) return rc;
    if (size == 0 || size > 4096) return -1;
    std::vector<char> text(size);
    rc = get(id, text.data(), size);
    if (rc == 0 && (size == 0 || text[size - 1] != '\0')) return -2;  // texts end with their NUL
    return rc;
}

}  // namespace

Churn::Churn(const Module& module, Lumora::ISystem* shared, Lumora::IInterface* const interfaces[3],
             const std::atomic<bool>& stop, uint32_t seed)
    : module_(module), shared_(shared), stop_(stop), seed_(seed) {
    for (int i = 0; i < 3; ++i) interfaces_[i] = interfaces[i];
}

void Churn::Count(const std::string& what, uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_[what] += n;
}

void Churn::Problem(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (problems_.size() < 20) problems_.push_back(text);
}

std::map<std::string, uint64_t> Churn::Counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::vector<std::string> Churn::Problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

void Churn::InfoCopies(Lumora::ISystem* system, std::mt19937& random) {
    unsigned count = 0;
    if (Call(system->GetNumInterfaces(count)) != 0 || count != 3) {
        Problem("GetNumInterfaces gave " + std::to_string(count));
        return;
    }
    const unsigned index = std::uniform_int_distribution<unsigned>(0, count - 1)(random);
    char name[64] = {};
    Lumora::u64 size = sizeof name;
    if (Call(system->GetInterfaceName(index, name, size)) != 0) {
        Problem("GetInterfaceName failed");
        return;
    }
    Lumora::IInterface* copy = nullptr;
    if (Call(system->GetInterface(name, copy)) != 0 || copy == nullptr) {
        Problem(std::string("GetInterface(") + name + ") failed");
        return;
    }
    for (Lumora::u64 id : {1u, 2u, 3u, 5u})
        if (Call(ReadText([&](Lumora::u64 i, void* b, Lumora::u64& s) { return copy->GetParam(i, b, s); }, id)) != 0)
            Problem(std::string("interface info copy GetParam failed on ") + name);
    Call(copy->Release());
    Count("interface info copies");
}

void Churn::ListAndCopy(Lumora::IInterface* itf, unsigned discoveryMs) {
    const std::vector<std::string> names = ListDevices(itf, discoveryMs);
    calls_.fetch_add(1 + names.size());
    Count("device listings");
    for (const std::string& name : names) {
        Lumora::IDevice* copy = nullptr;
        // The camera may have gone between the listing and this call.
        if (Call(itf->GetDevice(name.c_str(), copy)) != 0 || copy == nullptr) {
            Count("device info copies refused (camera gone)");
            continue;
        }
        for (Lumora::u64 id : {0u, 1u, 2u, 3u})
            Call(ReadText([&](Lumora::u64 i, void* b, Lumora::u64& s) { return copy->GetInfo(i, b, s); }, id));
        Lumora::IStream* streamCopy = nullptr;
        if (Call(copy->GetStream(0, streamCopy)) == 0 && streamCopy != nullptr) {
            if (Call(ReadText([&](Lumora::u64 i, void* b, Lumora::u64& s) { return streamCopy->GetParam(i, b, s); },
                              0)) != 0)
                Problem("stream info copy has no name");
            Call(streamCopy->Release());
            Count("stream info copies");
        }
        Call(copy->Release());
        Count("device info copies");
    }
}

void Churn::OpenAndClose(Lumora::IInterface* itf, const char* name, bool releaseDevice) {
    Lumora::IDevice* device = nullptr;
    const int rc = Call(itf->OpenDevice(name, device));
    if (rc != 0 || device == nullptr) {
        // Held by the other churn thread, or not (yet) listed by this interface.
        Count("opens refused (" + std::to_string(rc) + ")");
        return;
    }
    Count("devices opened and closed");
    for (Lumora::u64 id : {0u, 1u, 2u, 3u, 8u})
        Call(ReadText([&](Lumora::u64 i, void* b, Lumora::u64& s) { return device->GetInfo(i, b, s); }, id));
    Lumora::IStream* stream = nullptr;
    if (Call(device->OpenStream(0, stream)) == 0 && stream != nullptr) {
        uint64_t payload = 0;
        Lumora::u64 size = sizeof payload;
        Call(stream->GetParam(4, &payload, size));
        Count("streams opened");
        // Every other time the stream goes with its device.
        if (releaseDevice && (calls_.load() & 1) == 0) Call(stream->Release());
    }
    if (releaseDevice) Call(device->Release());
}

void Churn::RunShared() {
    std::mt19937 random(seed_);
    unsigned round = 0;
    while (!stop_.load()) {
        InfoCopies(shared_, random);
        const int t = static_cast<int>(round % 3);
        ListAndCopy(interfaces_[t], kDiscoveryMs[t]);
        OpenAndClose(interfaces_[t], kChurnNames[t], true);
        if (t == 0 && round % 2 == 0) {
            // A burst of error 31 on the camera this thread opens: short (absorbed) or long.
            module_.Sim().usb2FailRequests(Cameras::kUsb2Churn, round % 4 == 0 ? 12 : 3);
            Count("error 31 bursts on the unstreamed USB 2.0 camera");
        }
        ++round;
        SleepUnless(stop_, 20);
    }
}

void Churn::RunOwnSystems() {
    std::mt19937 random(seed_ + 1);
    unsigned round = 0;
    while (!stop_.load()) {
        Lumora::ISystem* system = module_.NewSystem();
        if (system == nullptr) {
            Problem("GetSystem made no system");
            SleepUnless(stop_, 200);
            continue;
        }
        Count("systems made and released");
        InfoCopies(system, random);
        const int t = static_cast<int>(round % 3);
        Lumora::IInterface* itf = nullptr;
        if (Call(system->OpenInterface(kInterfaceNames[t], itf)) == 0 && itf != nullptr) {
            ListAndCopy(itf, kDiscoveryMs[t]);
            // Released with the system, not one by one: the whole tree goes at once.
            OpenAndClose(itf, kChurnNames[t], false);
        } else {
            Problem(std::string("OpenInterface(") + kInterfaceNames[t] + ") failed");
        }
        Call(system->Release());
        ++round;
        SleepUnless(stop_, 20);
    }
}

}  // namespace KovonSoak
