#include "sim/gige/GigECameraModel.h"

#include <cstdio>
#include <cstring>

#include "gige/pelion/Bootstrap.h"
#include "sim/gige/GigECameraXml.h"
#include "sim/gige/GigEFrameGenerator.h"

namespace Kovon::Sim {

namespace Reg = Pelion::Reg;
namespace DS = Pelion::Gvcp::DeviceStatus;

namespace {
constexpr uint32_t kGvcpCapability = 0x80000000u | 0x40000000u |  // user name, serial number
                                     0x20u | 0x10u | 0x8u | 0x4u | 0x2u | 0x1u;  // pending ack, event data,
                                     // event, packet resend, write memory, concatenation
constexpr uint32_t kMinPacketSize = 576;
constexpr uint32_t kMaxPacketSize = 9000;
constexpr uint64_t kTickFrequency = 1'000'000'000;
}  // namespace

GigECameraModel::GigECameraModel(GigECameraIdentity identity)
    : identity_(std::move(identity)), bootstrap_(Reg::BootstrapEnd, 0), userMemory_(Reg::UserMemorySize, 0) {
    xml_ = BuildGigECameraXml(identity_.model);
    SetReg32(Reg::Version, 0x00010002);
    SetReg32(Reg::DeviceMode, 0x80000001);  // big-endian registers, transmitter, UTF-8
    SetReg32(Reg::MacHigh, (uint32_t{identity_.mac[0]} << 8) | identity_.mac[1]);
    SetReg32(Reg::MacLow, (uint32_t{identity_.mac[2]} << 24) | (uint32_t{identity_.mac[3]} << 16) |
                              (uint32_t{identity_.mac[4]} << 8) | identity_.mac[5]);
    SetReg32(Reg::IpConfigOptions, 0x80000007);
    SetReg32(Reg::IpConfigCurrent, 0x00000006);
    SetReg32(Reg::CurrentIp, identity_.ip);
    SetReg32(Reg::CurrentMask, identity_.mask);
    SetReg32(Reg::CurrentGateway, identity_.gateway);
    SetText(Reg::ManufacturerName, 32, identity_.manufacturer);
    SetText(Reg::ModelName, 32, identity_.model);
    SetText(Reg::DeviceVersion, 32, identity_.version);
    SetText(Reg::ManufacturerInfo, 48, identity_.manufacturerInfo);
    SetText(Reg::SerialNumber, 16, identity_.serial);
    SetText(Reg::UserName, 16, identity_.userName);
    UpdateUrl();
    SetReg32(Reg::NetworkInterfaces, 1);
    SetReg32(Reg::MessageChannels, 1);
    SetReg32(Reg::StreamChannels, 1);
    SetReg32(Reg::GvcpCapability, kGvcpCapability);
    SetReg32(Reg::HeartbeatTimeout, 3000);
    SetReg32(Reg::TimestampFrequencyHigh, static_cast<uint32_t>(kTickFrequency >> 32));
    SetReg32(Reg::TimestampFrequencyLow, static_cast<uint32_t>(kTickFrequency));
    SetReg32(Reg::PendingTimeout, 500);
    SetReg32(Reg::MessageTimeout, 300);
    SetReg32(Reg::MessageRetries, 2);
    SetReg32(Reg::StreamPacketSize0, 1500);
}

void GigECameraModel::UpdateUrl() {
    char url[128];
    std::snprintf(url, sizeof url, "Local:%s;%x;%zx", kGigEDescriptionFile, Reg::DescriptionAddress, xml_.size());
    SetText(Reg::FirstUrl, 512, url);
}

uint32_t GigECameraModel::Reg32(uint32_t a) const {
    return (uint32_t{bootstrap_[a]} << 24) | (uint32_t{bootstrap_[a + 1]} << 16) | (uint32_t{bootstrap_[a + 2]} << 8) |
           bootstrap_[a + 3];
}

void GigECameraModel::SetReg32(uint32_t a, uint32_t v) {
    for (int i = 0; i < 4; ++i) bootstrap_[a + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void GigECameraModel::SetText(uint32_t address, size_t field, const std::string& text) {
    std::memset(&bootstrap_[address], 0, field);
    std::memcpy(&bootstrap_[address], text.data(), std::min(text.size(), field - 1));
}

void GigECameraModel::Touch(const GigEPeer& from, uint64_t nowMs) {
    if (IsController(from)) lastHeartbeatMs_ = nowMs;
}

void GigECameraModel::ReleaseControl() {
    controllerValid_ = false;
    SetReg32(Reg::ControlPrivilege, 0);
    // Without a controller the channels close and the camera stops sending.
    SetReg32(Reg::StreamPort0, 0);
    SetReg32(Reg::MessagePort, 0);
    StopAcquisition();
}

void GigECameraModel::StopAcquisition() {
    if (acquiring_) ++generation_;
    acquiring_ = false;
}

uint64_t GigECameraModel::NextBlockId() {
    blockId_ = blockId_ >= 0xFFFF ? 1 : blockId_ + 1;  // 16-bit block ids skip 0
    return blockId_;
}

bool GigECameraModel::ExpireHeartbeat(uint64_t nowMs) {
    if (!controllerValid_) return false;
    if (nowMs - lastHeartbeatMs_ <= Reg32(Reg::HeartbeatTimeout)) return false;
    ReleaseControl();
    return true;
}

uint16_t GigECameraModel::ReadRegister(uint32_t address, uint32_t& value, const GigEPeer& from, uint64_t nowMs) {
    value = 0;
    Touch(from, nowMs);
    if (address % 4 != 0) return DS::BadAlignment;
    bool exclusiveOther = controllerValid_ && !IsController(from) &&
                          (Reg32(Reg::ControlPrivilege) & Reg::PrivilegeExclusive) != 0;
    if (exclusiveOther) return DS::AccessDenied;
    if (address < Reg::BootstrapEnd) {
        if (address == Reg::TimestampHigh || address == Reg::TimestampLow) {
            uint64_t ticks = nowMs * (kTickFrequency / 1000);
            value = static_cast<uint32_t>(address == Reg::TimestampHigh ? ticks >> 32 : ticks);
        } else {
            value = Reg32(address);
        }
        return DS::Success;
    }
    return ReadCamera(address, value) ? DS::Success : DS::InvalidAddress;
}

bool GigECameraModel::ReadCamera(uint32_t address, uint32_t& value) const {
    switch (address) {
        case Reg::OpenMarker: value = openMarker_; return true;
        case Reg::Width: value = width_; return true;
        case Reg::Height: value = height_; return true;
        case Reg::PixelFormat: value = pixelFormat_; return true;
        case Reg::FramePeriodUs: value = framePeriodUs_; return true;
        case Reg::PayloadSize:
            value = static_cast<uint32_t>(GigEFrameGenerator::PayloadSize(pixelFormat_, width_, height_));
            return true;
        case Reg::AcquisitionStatus: value = acquiring_ ? 1 : 0; return true;
        case Reg::AcquisitionMode: value = acquisitionMode_; return true;
        case Reg::AcquisitionStart:
        case Reg::AcquisitionStop:
        case Reg::TestEvent:
        case Reg::LongCommandCode: value = 0; return true;
        case Reg::LongCommandArgument: value = longArgument_; return true;
        case Reg::LongCommandResult: value = longResult_; return true;
        default: return false;
    }
}

uint16_t GigECameraModel::WriteRegister(uint32_t address, uint32_t value, const GigEPeer& from, uint64_t nowMs) {
    Touch(from, nowMs);
    if (address % 4 != 0) return DS::BadAlignment;
    if (address == Reg::ControlPrivilege) {
        const uint32_t wanted = value & (Reg::PrivilegeControl | Reg::PrivilegeExclusive);
        if (controllerValid_ && !IsController(from)) return DS::AccessDenied;
        if (wanted == 0) {
            if (controllerValid_) ReleaseControl();
            return DS::Success;
        }
        controllerValid_ = true;
        controller_ = from;
        lastHeartbeatMs_ = nowMs;
        SetReg32(Reg::ControlPrivilege, wanted);
        return DS::Success;
    }
    if (!IsController(from)) return DS::AccessDenied;
    if (address < Reg::BootstrapEnd) return WriteBootstrap(address, value);
    return WriteCamera(address, value);
}

uint16_t GigECameraModel::WriteBootstrap(uint32_t address, uint32_t value) {
    switch (address) {
        case Reg::IpConfigCurrent:
        case Reg::TimestampControl:
        case Reg::MessageTimeout:
        case Reg::MessageRetries:
            SetReg32(address, value);
            return DS::Success;
        case Reg::HeartbeatTimeout:
            if (value < 500) return DS::InvalidParameter;
            SetReg32(address, value);
            return DS::Success;
        case Reg::MessagePort:
        case Reg::MessageDestination:
            SetReg32(address, value);
            return DS::Success;
        case Reg::StreamPort0:
        case Reg::StreamDestination0:
        case Reg::StreamPacketDelay0:
            SetReg32(address, value);
            ++generation_;
            return DS::Success;
        case Reg::StreamPacketSize0: {
            uint32_t size = value & Reg::PacketSizeMask;
            if (size < kMinPacketSize || size > kMaxPacketSize) return DS::InvalidParameter;
            if (acquiring_ && size != (Reg32(address) & Reg::PacketSizeMask)) return DS::Busy;
            if (value & Reg::FireTestPacket) testPacket_ = true;
            SetReg32(address, (value & ~Reg::FireTestPacket) & (Reg::DoNotFragment | Reg::PacketSizeMask));
            ++generation_;
            return DS::Success;
        }
        default:
            return DS::AccessDenied;
    }
}

uint16_t GigECameraModel::WriteCamera(uint32_t address, uint32_t value) {
    auto geometry = [&](uint32_t w, uint32_t h, uint32_t pf) -> uint16_t {
        if (acquiring_) return DS::Busy;
        if (w < 8 || w > 4096 || w % 4 != 0 || h < 1 || h > 4096 || GigEFrameGenerator::PayloadSize(pf, w, h) == 0)
            return DS::InvalidParameter;
        width_ = w, height_ = h, pixelFormat_ = pf;
        ++generation_;
        return DS::Success;
    };
    switch (address) {
        case Reg::OpenMarker: openMarker_ = value; return DS::Success;
        case Reg::Width: return geometry(value, height_, pixelFormat_);
        case Reg::Height: return geometry(width_, value, pixelFormat_);
        case Reg::PixelFormat: return geometry(width_, height_, value);
        case Reg::FramePeriodUs:
            framePeriodUs_ = value;
            ++generation_;
            return DS::Success;
        case Reg::AcquisitionMode:
            if (value != 0) return DS::InvalidParameter;
            acquisitionMode_ = value;
            return DS::Success;
        case Reg::AcquisitionStart:
            if (value != 0 && !acquiring_) {
                acquiring_ = true;
                ++generation_;
            }
            return DS::Success;
        case Reg::AcquisitionStop:
            if (value != 0) StopAcquisition();
            return DS::Success;
        case Reg::TestEvent:
            testEvents_.push_back(static_cast<uint16_t>(value));
            return DS::Success;
        case Reg::LongCommandArgument: longArgument_ = value; return DS::Success;
        case Reg::LongCommandCode:
            if (value != Reg::LongCommandSelfTest) return DS::InvalidParameter;
            pendingLongMs_ = longCommandMs_;
            longResult_ = 1;
            return DS::Success;
        case Reg::PayloadSize:
        case Reg::AcquisitionStatus:
        case Reg::LongCommandResult:
            return DS::AccessDenied;
        default:
            return DS::InvalidAddress;
    }
}

uint16_t GigECameraModel::ReadMemory(uint32_t address, uint8_t* out, size_t size, const GigEPeer& from,
                                     uint64_t nowMs) {
    std::memset(out, 0, size);
    Touch(from, nowMs);
    if (address % 4 != 0 || size % 4 != 0 || size == 0) return DS::BadAlignment;
    const uint64_t end = uint64_t{address} + size;
    if (end <= Reg::BootstrapEnd) {
        for (uint32_t a = address; a < end; a += 4) {
            uint32_t v = 0;
            uint16_t st = ReadRegister(a, v, from, nowMs);
            if (st != DS::Success) return st;
            for (int i = 0; i < 4; ++i) out[a - address + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        }
        return DS::Success;
    }
    const uint64_t xmlEnd = Reg::DescriptionAddress + ((xml_.size() + 3) & ~size_t{3});
    if (address >= Reg::DescriptionAddress && end <= xmlEnd) {
        size_t offset = address - Reg::DescriptionAddress;
        size_t n = offset < xml_.size() ? std::min(size, xml_.size() - offset) : 0;
        std::memcpy(out, xml_.data() + offset, n);
        return DS::Success;
    }
    if (address >= Reg::UserMemory && end <= uint64_t{Reg::UserMemory} + Reg::UserMemorySize) {
        std::memcpy(out, &userMemory_[address - Reg::UserMemory], size);
        return DS::Success;
    }
    for (uint32_t a = address; a < end; a += 4) {  // camera registers read as memory
        uint32_t v = 0;
        if (!ReadCamera(a, v)) return DS::InvalidAddress;
        for (int i = 0; i < 4; ++i) out[a - address + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
    return DS::Success;
}

uint16_t GigECameraModel::WriteMemory(uint32_t address, const uint8_t* data, size_t size, const GigEPeer& from,
                                      uint64_t nowMs) {
    Touch(from, nowMs);
    if (address % 4 != 0 || size % 4 != 0 || size == 0) return DS::BadAlignment;
    if (!IsController(from)) return DS::AccessDenied;
    const uint64_t end = uint64_t{address} + size;
    if (address >= Reg::UserName && end <= Reg::UserName + 16) {
        std::memcpy(&bootstrap_[address], data, size);
        bootstrap_[Reg::UserName + 15] = 0;
        return DS::Success;
    }
    if (address >= Reg::UserMemory && end <= uint64_t{Reg::UserMemory} + Reg::UserMemorySize) {
        std::memcpy(&userMemory_[address - Reg::UserMemory], data, size);
        return DS::Success;
    }
    if (address >= Reg::DescriptionAddress && address < Reg::DescriptionAddress + xml_.size()) return DS::AccessDenied;
    for (uint32_t a = address; a < end; a += 4) {
        const uint8_t* p = data + (a - address);
        uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        uint16_t st = WriteRegister(a, v, from, nowMs);
        if (st != DS::Success) return st;
    }
    return DS::Success;
}

Pelion::Gvcp::DeviceInfo GigECameraModel::DiscoveryInfo() const {
    Pelion::Gvcp::DeviceInfo d;
    d.versionMajor = 1;
    d.versionMinor = 2;
    d.deviceMode = Reg32(Reg::DeviceMode);
    std::memcpy(d.mac, identity_.mac, 6);
    d.ipConfigOptions = Reg32(Reg::IpConfigOptions);
    d.ipConfigCurrent = Reg32(Reg::IpConfigCurrent);
    d.ip = identity_.ip;
    d.mask = identity_.mask;
    d.gateway = identity_.gateway;
    auto text = [&](char* out, size_t n, uint32_t address, size_t field) {
        size_t len = strnlen(reinterpret_cast<const char*>(&bootstrap_[address]), field);
        len = std::min(len, n - 1);
        std::memcpy(out, &bootstrap_[address], len);
        out[len] = 0;
    };
    text(d.manufacturer, sizeof d.manufacturer, Reg::ManufacturerName, 32);
    text(d.model, sizeof d.model, Reg::ModelName, 32);
    text(d.version, sizeof d.version, Reg::DeviceVersion, 32);
    text(d.manufacturerInfo, sizeof d.manufacturerInfo, Reg::ManufacturerInfo, 48);
    text(d.serial, sizeof d.serial, Reg::SerialNumber, 16);
    text(d.userName, sizeof d.userName, Reg::UserName, 16);
    return d;
}

bool GigECameraModel::ApplyForceIp(const Pelion::Gvcp::ForceIpCommand& cmd) {
    if (std::memcmp(cmd.mac, identity_.mac, 6) != 0) return false;
    if (cmd.ip == 0) return true;  // "restart IP configuration": keep the current address
    identity_.ip = cmd.ip;
    identity_.mask = cmd.mask;
    identity_.gateway = cmd.gateway;
    SetReg32(Reg::CurrentIp, cmd.ip);
    SetReg32(Reg::CurrentMask, cmd.mask);
    SetReg32(Reg::CurrentGateway, cmd.gateway);
    if (controllerValid_) ReleaseControl();
    return true;
}

GigEStreamConfig GigECameraModel::Stream() const {
    GigEStreamConfig c;
    c.acquiring = acquiring_;
    c.destination = Reg32(Reg::StreamDestination0);
    c.port = static_cast<uint16_t>(Reg32(Reg::StreamPort0));
    c.packetSize = Reg32(Reg::StreamPacketSize0) & Reg::PacketSizeMask;
    c.packetDelay = Reg32(Reg::StreamPacketDelay0);
    c.width = width_;
    c.height = height_;
    c.pixelFormat = pixelFormat_;
    c.payloadSize = GigEFrameGenerator::PayloadSize(pixelFormat_, width_, height_);
    c.framePeriodUs = framePeriodUs_;
    c.generation = generation_;
    return c;
}

bool GigECameraModel::TakeTestPacketRequest() {
    bool r = testPacket_;
    testPacket_ = false;
    return r;
}

std::vector<uint16_t> GigECameraModel::TakeTestEvents() {
    std::vector<uint16_t> r;
    r.swap(testEvents_);
    return r;
}

uint32_t GigECameraModel::TakeLongCommandDurationMs() {
    uint32_t r = pendingLongMs_;
    pendingLongMs_ = 0;
    return r;
}

}  // namespace Kovon::Sim
