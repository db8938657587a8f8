#pragma once
// What the three transport devices share: their parents, their one-stream info list and the list
// of opened streams, the rules by which streams are counted, named, handed out as info copies,
// opened, unlinked and released, and the named mutex that keeps a camera to one opened object.
//
// The base adds no virtual operation of its own. The operations a device adds after the host
// interface are part of the host contract, in an order each transport fixes (the GigE Vision and
// USB3 Vision devices begin with EventCallBack, the USB 2.0 one ends with LoadXML), so each
// concrete device declares them itself and the base reaches them through the concrete class
// 'Device': UpdateStreamList, CreateObjectForAddList, CopyObjectForInfo, Create_Mutex and
// Release_Mutex.
//
// 'StreamsLock' guards the two stream lists. A device whose lists only the host's calls touch
// keeps the default, which guards nothing; a device whose parameter calls reach its opened stream
// from other threads takes a recursive mutex.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "platform/NamedMutex.h"
#include "system/ParamCall.h"
#include "system/TreeText.h"

namespace Kovon {

struct NoStreamsLock {
    void lock() {}
    void unlock() {}
};

template <typename Device, typename StreamsLock = NoStreamsLock>
class KOVON_API CDeviceBase : public Lumora::INewDevice {
public:
    CDeviceBase(const CDeviceBase&) = delete;
    CDeviceBase& operator=(const CDeviceBase&) = delete;

    // The count rebuilds the list every time; name, get and open build it only when it was never
    // built. Get and open look in the opened streams first, then in the info list.
    int GetNumStreams(unsigned& count) override;
    int GetStreamName(unsigned index, char* buffer, Lumora::u64& size) override;
    int GetStream(unsigned index, Lumora::IStream*& out) override;
    int OpenStream(unsigned index, Lumora::IStream*& out) override;
    unsigned Release() override;
    unsigned Share() override;
    // ILink: an opened stream unlinks itself.
    void ReleaseChild(void* child) override;

    Lumora::INewSystem* ParentSystem() const { return system_; }
    Lumora::INewInterface* ParentInterface() const { return interface_; }

protected:
    CDeviceBase() = default;
    CDeviceBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface)
        : system_(system), interface_(parentInterface) {}
    ~CDeviceBase() override = default;

    // UpdateStreamList's merge: 'fresh' joins the info list unless a stream of its name is listed
    // already, in which case the listed one stays and 'fresh' is deleted. The list counts as built.
    void MergeStream(std::unique_ptr<Lumora::INewStream> fresh);
    // Deletes the info list and releases every opened stream. Each device calls it first in its
    // own destructor, while its camera is still open for the streams to close their channels.
    void ReleaseStreams();
    Lumora::INewStream* FirstOpenStream() const { return addList_.empty() ? nullptr : addList_.front(); }

    // What every device's Create_Mutex and Release_Mutex do. A name that cannot be taken for any
    // reason counts as taken: two objects must never both believe they hold the camera.
    bool CreateNamedMutex(const std::string& name);
    bool CloseNamedMutex();
    // The first step of every open: the device's Create_Mutex; when the camera's mutex already
    // existed (another object or process holds the camera), its Release_Mutex and false.
    bool ClaimCamera();

    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
    // Taken before a stream's own locks, never while calling the parent.
    StreamsLock streamsLock_;
    std::vector<Lumora::INewStream*> addList_;

private:
    Device& Self() { return static_cast<Device&>(*this); }
    // The name of the stream at 'index' of the info list (built first if it never was), or "".
    std::string StreamName(unsigned index);
    static Lumora::INewStream* FindStream(const std::vector<Lumora::INewStream*>& list, const std::string& name);

    bool streamListBuilt_ = false;
    std::vector<Lumora::INewStream*> streamList_;
    Platform::NamedMutex mutex_;
    bool mutexAlreadyExisted_ = false;
};

template <typename Device, typename StreamsLock>
void CDeviceBase<Device, StreamsLock>::MergeStream(std::unique_ptr<Lumora::INewStream> fresh) {
    std::lock_guard<StreamsLock> guard(streamsLock_);
    if (FindStream(streamList_, StreamText(fresh.get(), 0)) == nullptr) streamList_.push_back(fresh.release());
    streamListBuilt_ = true;
}

template <typename Device, typename StreamsLock>
void CDeviceBase<Device, StreamsLock>::ReleaseStreams() {
    {
        std::lock_guard<StreamsLock> guard(streamsLock_);
        for (Lumora::INewStream* info : streamList_) delete info;
        streamList_.clear();
    }
    // Each stream is released without the lock held: a stream stops its worker under its own
    // locks, and those are never taken inside streamsLock_.
    for (;;) {
        Lumora::INewStream* first = nullptr;
        {
            std::lock_guard<StreamsLock> guard(streamsLock_);
            if (addList_.empty()) break;
            first = addList_.front();
        }
        first->Release();  // the stream unlinks itself through ReleaseChild
        std::lock_guard<StreamsLock> guard(streamsLock_);
        if (!addList_.empty() && addList_.front() == first) addList_.erase(addList_.begin());
    }
}

template <typename Device, typename StreamsLock>
bool CDeviceBase<Device, StreamsLock>::CreateNamedMutex(const std::string& name) {
    mutexAlreadyExisted_ = mutex_.Create(name) != Platform::NamedMutex::Result::Created;
    return true;
}

template <typename Device, typename StreamsLock>
bool CDeviceBase<Device, StreamsLock>::CloseNamedMutex() {
    mutex_.Close();
    return true;
}

template <typename Device, typename StreamsLock>
bool CDeviceBase<Device, StreamsLock>::ClaimCamera() {
    Self().Create_Mutex();
    if (!mutexAlreadyExisted_) return true;
    Self().Release_Mutex();
    return false;
}

template <typename Device, typename StreamsLock>
Lumora::INewStream* CDeviceBase<Device, StreamsLock>::FindStream(const std::vector<Lumora::INewStream*>& list,
                                                                 const std::string& name) {
    return FindByName(list, name.c_str(), [](Lumora::INewStream* stream) { return StreamText(stream, 0); });
}

template <typename Device, typename StreamsLock>
std::string CDeviceBase<Device, StreamsLock>::StreamName(unsigned index) {
    if (!streamListBuilt_) Self().UpdateStreamList();
    if (index >= streamList_.size()) return std::string();
    return StreamText(streamList_[index], 0);
}

template <typename Device, typename StreamsLock>
int CDeviceBase<Device, StreamsLock>::GetNumStreams(unsigned& count) {
    return GuardedCall([&] {
        std::lock_guard<StreamsLock> guard(streamsLock_);
        Self().UpdateStreamList();
        count = static_cast<unsigned>(streamList_.size());
        return 0;
    });
}

template <typename Device, typename StreamsLock>
int CDeviceBase<Device, StreamsLock>::GetStreamName(unsigned index, char* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        std::lock_guard<StreamsLock> guard(streamsLock_);
        if (!streamListBuilt_) Self().UpdateStreamList();
        if (index >= streamList_.size()) return static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
        return streamList_[index]->GetParam(0, buffer, size);
    });
}

template <typename Device, typename StreamsLock>
int CDeviceBase<Device, StreamsLock>::GetStream(unsigned index, Lumora::IStream*& out) {
    return GuardedCall([&] {
        std::lock_guard<StreamsLock> guard(streamsLock_);
        const std::string name = StreamName(index);
        Lumora::INewStream* found = name.empty() ? nullptr : FindStream(addList_, name);
        if (found == nullptr && !name.empty()) found = FindStream(streamList_, name);
        Lumora::INewStream* copy = found != nullptr ? Self().CopyObjectForInfo(found) : nullptr;
        out = copy;
        return copy != nullptr ? 0 : static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
    });
}

template <typename Device, typename StreamsLock>
int CDeviceBase<Device, StreamsLock>::OpenStream(unsigned index, Lumora::IStream*& out) {
    return GuardedCall([&] {
        std::lock_guard<StreamsLock> guard(streamsLock_);
        const std::string name = StreamName(index);
        if (name.empty()) {
            out = nullptr;
            return static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
        }
        // A stream that is open already is handed out as an info copy.
        if (Lumora::INewStream* open = FindStream(addList_, name)) {
            Lumora::INewStream* copy = Self().CopyObjectForInfo(open);
            out = copy;
            return copy != nullptr ? 0 : static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
        }
        Lumora::INewStream* info = FindStream(streamList_, name);
        if (info == nullptr) {
            out = nullptr;
            return static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
        }
        Lumora::INewStream* opened = Self().CreateObjectForAddList(info);
        if (opened == nullptr) return static_cast<int>(Lumora::GC_ERR_ACCESS_DENIED);
        addList_.push_back(opened);
        out = opened;
        return 0;
    });
}

template <typename Device, typename StreamsLock>
unsigned CDeviceBase<Device, StreamsLock>::Release() {
    delete this;
    return 0;
}

template <typename Device, typename StreamsLock>
unsigned CDeviceBase<Device, StreamsLock>::Share() {
    return 0;
}

template <typename Device, typename StreamsLock>
void CDeviceBase<Device, StreamsLock>::ReleaseChild(void* child) {
    std::lock_guard<StreamsLock> guard(streamsLock_);
    RemoveFirst(addList_, child);
}

}  // namespace Kovon
