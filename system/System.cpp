#include "system/System.h"

#include <new>
#include <string>

#include "gige/InterfaceGigE.h"
#include "system/ParamCall.h"
#include "system/TreeText.h"
#include "u3v/InterfaceU3V.h"
#include "usb2/InterfaceUSB.h"

namespace Kovon {
namespace {

using Lumora::GC_ERR_INVALID_PARAMETER;
using Lumora::IInterface;
using Lumora::INewInterface;

struct InterfaceIdentity {
    const char* name;
    const char* type;
    const char* description;
};

// The three interfaces, always in this order.
constexpr InterfaceIdentity kInterfaces[] = {
    {"Interface_USB", "USB", "Tarvek USB2.0 Camera"},
    {"Interface_GigEVision", "GIGE", "Tarvek GigEVision Camera"},
    {"Interface_U3Vision", "U3V", "Tarvek USB3Vision Camera"},
};

}  // namespace

CSystem::CSystem() = default;

CSystem::CSystem(const CSystem& other)
    : INewSystem(other),
      interfaceListBuilt_(other.interfaceListBuilt_),
      interfaceList_(other.interfaceList_),
      addList_(other.addList_) {}

CSystem& CSystem::operator=(const CSystem& other) {
    if (this != &other) {
        interfaceListBuilt_ = other.interfaceListBuilt_;
        interfaceList_ = other.interfaceList_;
        addList_ = other.addList_;
    }
    return *this;
}

CSystem::~CSystem() { ReleaseChildren(); }

void CSystem::ReleaseChildren() {
    for (INewInterface* info : interfaceList_) delete info;
    interfaceList_.clear();
    // Each interface unlinks itself through ReleaseChild when it is destroyed.
    while (!addList_.empty()) {
        INewInterface* first = addList_.front();
        first->Release();
        if (!addList_.empty() && addList_.front() == first) addList_.erase(addList_.begin());
    }
}

void CSystem::UpdateInterfaceList() {
    // The names never change, so the first run keeps the fresh objects and every later run keeps
    // the existing ones: the list is always USB, GigE, U3V and its objects live until Release.
    std::vector<INewInterface*> fresh;
    for (const InterfaceIdentity& identity : kInterfaces) {
        const std::string type = identity.type;
        INewInterface* object = nullptr;
        if (type == "USB") object = new CInterfaceUSB(nullptr, identity.name, identity.type, identity.description);
        else if (type == "GIGE") object = new CInterfaceGigE(nullptr, identity.name, identity.type, identity.description);
        else object = new CInterfaceU3V(nullptr, identity.name, identity.type, identity.description);
        fresh.push_back(object);
    }
    std::vector<INewInterface*> old;
    old.swap(interfaceList_);
    std::vector<INewInterface*> remaining;
    for (INewInterface* object : fresh) {
        const std::string name = InterfaceText(object, 1, 256);
        INewInterface* match = Find(old, name.c_str());
        if (match != nullptr) {
            interfaceList_.push_back(match);
            RemoveFirst(old, match);
            delete object;
        } else {
            remaining.push_back(object);
        }
    }
    interfaceList_.insert(interfaceList_.end(), remaining.begin(), remaining.end());
    for (INewInterface* object : old) delete object;
    interfaceListBuilt_ = true;
}

INewInterface* CSystem::Find(const std::vector<INewInterface*>& list, const char* name) const {
    return FindByName(list, name, [](INewInterface* object) { return InterfaceText(object, 1); });
}

INewInterface* CSystem::MakeInterface(IInterface* source, Lumora::INewSystem* parent) {
    const std::string type = InterfaceText(source, 2);
    const std::string name = InterfaceText(source, 1);
    const std::string description = InterfaceText(source, 3);
    if (type == "USB") return new CInterfaceUSB(parent, name, type, description);
    if (type == "GIGE") return new CInterfaceGigE(parent, name, type, description);
    if (type == "U3V") return new CInterfaceU3V(parent, name, type, description);
    return nullptr;
}

INewInterface* CSystem::CreateObjectForAddList(IInterface* source) { return MakeInterface(source, this); }

INewInterface* CSystem::CopyObjectForInfo(IInterface* source) { return MakeInterface(source, nullptr); }

int CSystem::GetNumInterfaces(unsigned& count) {
    return GuardedCall([&] {
        UpdateInterfaceList();
        count = static_cast<unsigned>(interfaceList_.size());
        return 0;
    });
}

int CSystem::GetInterfaceName(unsigned index, char* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (!interfaceListBuilt_) UpdateInterfaceList();
        if (index >= interfaceList_.size()) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        return interfaceList_[index]->GetParam(1, buffer, size);
    });
}

int CSystem::GetInterface(const char* name, IInterface*& out) {
    return GuardedCall([&] {
        if (!interfaceListBuilt_) UpdateInterfaceList();
        INewInterface* found = Find(addList_, name);
        if (found == nullptr) found = Find(interfaceList_, name);
        if (found == nullptr) {
            out = nullptr;
            return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        }
        out = CopyObjectForInfo(found);
        return 0;
    });
}

int CSystem::OpenInterface(const char* name, IInterface*& out) {
    return GuardedCall([&] {
        if (!interfaceListBuilt_) UpdateInterfaceList();
        if (INewInterface* open = Find(addList_, name)) {
            // A second open hands out an info copy; the open object is not touched.
            out = CopyObjectForInfo(open);
            return 0;
        }
        INewInterface* info = Find(interfaceList_, name);
        if (info == nullptr) {
            out = nullptr;
            return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        }
        INewInterface* opened = CreateObjectForAddList(info);
        if (opened == nullptr) {
            out = nullptr;
            return static_cast<int>(Lumora::GC_ERR_ERROR);
        }
        addList_.push_back(opened);
        out = opened;
        return 0;
    });
}

int CSystem::SetParam(SYSTEM_PARAM, void*, Lumora::u64&) { return GC_ERR_INVALID_PARAMETER; }

int CSystem::GetParam(SYSTEM_PARAM, void*, Lumora::u64&) { return GC_ERR_INVALID_PARAMETER; }

unsigned CSystem::Release() {
    delete this;  // the destructor releases the info list and every opened interface
    return 0;
}

unsigned CSystem::Share() { return 0; }

void CSystem::ReleaseChild(void* child) { RemoveFirst(addList_, child); }

}  // namespace Kovon
