#pragma once
// The root of the object tree: lists the module's three transport interfaces, hands out info
// copies of them and owns the interfaces that the host opens. It holds no lock: calls on one
// system object are not serialised against each other.
#include <vector>

#include "Lumora/Lumora.h"

namespace Kovon {

class KOVON_API CSystem : public Lumora::INewSystem {
public:
    CSystem();
    CSystem(const CSystem& other);
    CSystem& operator=(const CSystem& other);
    ~CSystem() override;

    int GetNumInterfaces(unsigned& count) override;
    int GetInterfaceName(unsigned index, char* buffer, Lumora::u64& size) override;
    int GetInterface(const char* name, Lumora::IInterface*& out) override;
    int OpenInterface(const char* name, Lumora::IInterface*& out) override;
    int SetParam(SYSTEM_PARAM id, void* buffer, Lumora::u64& size) override;
    int GetParam(SYSTEM_PARAM id, void* buffer, Lumora::u64& size) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void* child) override;

private:
    void UpdateInterfaceList();
    Lumora::INewInterface* CreateObjectForAddList(Lumora::IInterface* source);
    Lumora::INewInterface* CopyObjectForInfo(Lumora::IInterface* source);
    Lumora::INewInterface* MakeInterface(Lumora::IInterface* source, Lumora::INewSystem* parent);
    Lumora::INewInterface* Find(const std::vector<Lumora::INewInterface*>& list, const char* name) const;
    void ReleaseChildren();

    bool interfaceListBuilt_ = false;
    std::vector<Lumora::INewInterface*> interfaceList_;
    std::vector<Lumora::INewInterface*> addList_;
};

}  // namespace Kovon
