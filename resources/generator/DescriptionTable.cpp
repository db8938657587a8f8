#include "DescriptionTable.h"

#include <algorithm>

namespace Kovon::Descriptions {

namespace {

unsigned BitOf(Group g) {
    switch (g) {
        case Group::C:
            return kC;
        case Group::P:
            return kP;
        case Group::M:
            return kM;
        case Group::D:
            return kD;
    }
    return 0;
}

bool Contains(const std::vector<int>& ids, int id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The colour descriptions that carry the white-balance features: groups C and P, and the colour
// 752-column camera.
Scope Colour() {
    return Groups(kC | kP, {120});
}

Feature Named(std::string name, FeatureKind kind) {
    Feature f;
    f.name = std::move(name);
    f.kind = kind;
    return f;
}

RegisterRow Row(unsigned address, std::string name, RegType type, unsigned length, Access access) {
    RegisterRow r;
    r.address = address;
    r.name = std::move(name);
    r.type = type;
    r.length = length;
    r.access = access;
    return r;
}

std::vector<RegisterRow> BuildRegisters() {
    std::vector<RegisterRow> rows;
    auto add = [&rows](RegisterRow r) { rows.push_back(std::move(r)); };
    const Access RO = Access::RO, WO = Access::WO, RW = Access::RW;

    // Device identity.
    add(IntReg(0x0000, "DeviceUserID", RW).AsFeature("User-programmable identifier of the camera."));
    add(StringReg(0x0004, "DeviceVersion", 32, RO).AsFeature("Version of the camera."));
    add(StringReg(0x0024, "DeviceID", 32, RO).AsFeature("Serial number of the camera."));
    add(StringReg(0x0064, "DeviceVendorName", 32, RO).AsFeature("Name of the camera's maker."));
    add(StringReg(0x0084, "DeviceModelName", 32, RO).AsFeature("Model name of the camera."));
    add(StringReg(0x00A4, "DeviceManufacturerInfo", 64, RO)
            .AsFeature("Further information from the camera's maker."));
    add(IntReg(0x00C4, "DeviceScanTypeReg", RO)
            .Standard()
            .With(Enumeration("DeviceScanType")
                      .Tip("Scan type of the sensor.")
                      .Entries({{"Areascan", 0, All()}, {"Linescan", 1, All()}})));

    // Image format.
    add(IntReg(0x0100, "WidthMax", RO).AsFeature("Largest possible image width in pixels."));
    add(IntReg(0x0104, "HeightMax", RO).AsFeature("Largest possible image height in pixels."));
    add(IntReg(0x0108, "WidthReg", RO)
            .RwIn(Only({106, 113, 120}))
            .With(Integer("Width")
                      .Tip("Width of the image in pixels.")
                      .Range(InD("16", "576"), Same("Width_MAX"))
                      .Inc(Same("16"))
                      .Lock(InD(nullptr, "IsAcquisitionStart"))));
    add(IntReg(0x010C, "HeightReg", RW)
            .With(Integer("Height")
                      .Tip("Height of the image in pixels.")
                      .Range(InD("8", "64"), Same("HEIGHT_MAX"))
                      .Inc(InD("2", "32"))
                      .Locked()));
    add(IntReg(0x0110, "OffsetXReg", RO)
            .RwIn(Only({106, 113, 120}))
            .With(Integer("OffsetX")
                      .Tip("Horizontal offset of the image from the sensor's origin in pixels.")
                      .Range(Same("0"), Same("OFFSETX_MAX"))
                      .Inc(InD("2", "1"))
                      .Lock(InD(nullptr, "IsAcquisitionStart"))));
    add(IntReg(0x0114, "OffsetYReg", RW)
            .With(Integer("OffsetY")
                      .Tip("Vertical offset of the image from the sensor's origin in pixels.")
                      .Range(Same("0"), Same("OFFSETY_MAX"))
                      .Inc(Same("2"))));
    add(IntReg(0x0120, "PixelFormatReg", RW)
            .With(Enumeration("PixelFormat")
                      .Tip("Format of the pixels delivered by the camera.")
                      .Locked()
                      .Entries({{"Mono8", 0x01080001, All()},
                                {"BayerBG8", 0x0108000B, Colour()},
                                {"BGR8Packed", 0x02180015, Colour()},
                                {"Mono10", 0x01100003, Groups(kM, {113})},
                                {"Mono12", 0x01100005, Groups(kM)},
                                {"Mono14", 0x01100025, Groups(kM)}})));
    add(IntReg(0x0124, "TestImageSelectorReg", RW)
            .With(Enumeration("TestImageSelector")
                      .Tip("Test image sent instead of the sensor's image.")
                      .Entries({{"Off", 0, All()}, {"GreyHorizontalRamp", 1, All()}})));
    add(IntReg(0x012C, "PayloadSize", RO).InvalidatedBy("Height").AsFeature("Number of bytes of one image."));

    // Acquisition and trigger.
    add(IntReg(0x0150, "AcquisitionModeReg", RW)
            .With(Enumeration("AcquisitionMode")
                      .Tip("Number of images acquired after a start.")
                      .Locked()
                      .Entries(
                          {{"Continuous", 0, All()}, {"SingleFrame", 1, All()}, {"MultiFrame", 2, All()}})));
    add(IntReg(0x0154, "AcqEnabledReg", RW)
            .With(Command("AcquisitionStart", 1).Tip("Starts the acquisition.").Locked())
            .With(Command("AcquisitionStop", 0).Tip("Stops the acquisition.")));
    add(IntReg(0x0158, "AcquisitionFrameCountReg", RW)
            .With(Integer("AcquisitionFrameCount")
                      .Tip("Number of images acquired in MultiFrame mode.")
                      .Range(Same("0"), Same("65535"))
                      .Locked()));
    add(IntReg(0x015C, "AcquisitionStatusSelectorReg", RW)
            .With(Enumeration("AcquisitionStatusSelector")
                      .Tip("Selects the acquisition status to read.")
                      .Locked()
                      .Entries({{"Continuous", 0, All()}})
                      .Selects({"AcquisitionStatus"})));
    add(IntReg(0x0160, "AcquisitionStatusReg", RW)
            .With(Boolean("AcquisitionStatus").Tip("State of the selected acquisition status.").Locked()));
    add(IntReg(0x0164, "TriggerSoftwareReg", WO)
            .With(Command("TriggerSoftware", 1).Tip("Sends a software trigger.")));
    add(IntReg(0x0168, "AcquisitionTriggerLossCountReg", RO)
            .With(Integer("AcquisitionTriggerLossCount")
                      .Tip("Number of triggers lost by the camera.")
                      .Custom()));
    add(IntReg(0x0204, "TriggerModeReg", RW)
            .With(Enumeration("TriggerMode")
                      .Tip("Whether images are taken on a trigger.")
                      .Locked()
                      .Entries({{"Off", 0, All()}, {"On", 1, All()}})));
    add(IntReg(0x0208, "TriggerSourceReg", RW)
            .With(Enumeration("TriggerSource")
                      .Tip("Source of the trigger.")
                      .Locked()
                      .Entries({{"Line1", 0, All()}, {"TransferEnd", 1, All()}, {"Software", 2, All()}})));
    add(IntReg(0x020C, "TriggerActivationReg", RW)
            .With(Enumeration("TriggerActivation")
                      .Tip("Level or edge of the trigger signal that takes an image.")
                      .Locked()
                      .Entries({{"LevelLow", 0, AllBut(kD)},
                                {"LevelHigh", 1, AllBut(kD)},
                                {"RisingEdge", 2, All()},
                                {"FallingEdge", 3, All()}})));
    add(FloatReg(0x0210, "TriggerDelayReg", RW)
            .With(Float("TriggerDelay")
                      .Tip("Delay between the trigger and the exposure in microseconds.")
                      .Range(InD("1", "0"), Same("1174405"))
                      .Unit("us")));

    // Strobe output: not in the descriptions without strobe.
    const Scope strobe = AllBut(kP);
    add(IntReg(0x0254, "StrobeModeReg", RW)
            .In(strobe)
            .With(Enumeration("StrobeMode")
                      .Tip("Mode of the strobe output.")
                      .Custom()
                      .Entries({{"Off", 0, All()}, {"Timed", 1, All()}, {"ExposureWidth", 2, All()}})));
    add(IntReg(0x0258, "StrobeSourceReg", RW)
            .In(strobe)
            .With(Enumeration("StrobeSource")
                      .Tip("Source of the strobe output.")
                      .Custom()
                      .Entries({{"StrobeOut", 0, All()}, {"StrobeSoftware", 1, All()}})));
    add(IntReg(0x025C, "StrobeActivationReg", RW)
            .In(strobe)
            .With(Enumeration("StrobeActivation")
                      .Tip("Active level of the strobe output.")
                      .Custom()
                      .Entries({{"LevelLow", 0, All()}, {"LevelHigh", 1, All()}})));
    add(FloatReg(0x0260, "StrobeTimeReg", RW)
            .In(strobe)
            .With(Float("StrobeTime")
                      .Tip("Length of the strobe pulse in microseconds.")
                      .Custom()
                      .Range(Same("0"), Same("9174"))
                      .Unit("us")));
    add(FloatReg(0x0264, "StrobeDelayReg", RW)
            .In(strobe)
            .With(Float("StrobeDelay")
                      .Tip("Delay of the strobe pulse in microseconds.")
                      .Custom()
                      .Range(Same("0"), Same("9174"))
                      .Unit("us")));
    add(IntReg(0x0268, "StrobeSoftwareReg", RW)
            .In(strobe)
            .With(Command("StrobeSoftwareHigh", 1).Tip("Sets the software strobe signal high.").Custom())
            .With(Command("StrobeSoftwareLow", 0).Tip("Sets the software strobe signal low.").Custom()));

    // Analog, exposure and frame rate.
    add(IntReg(0x0300, "GainRawReg", RW)
            .With(Integer("GainRaw")
                      .Tip("Gain in camera units.")
                      .Range(Same("0"), Same("100"))
                      .Inc(InD(nullptr, "2"))));
    add(IntReg(0x0304, "BlackLevelRawReg", RW)
            .With(Integer("BlackLevelRaw")
                      .Tip("Black level in camera units.")
                      .Range(Same("0"), InD("1023", "100"))));
    add(IntReg(0x0308, "ExposureModeReg", RW)
            .With(Enumeration("ExposureMode")
                      .Tip("How the exposure time is set.")
                      .Entries({{"Timed", 1, All()}, {"TriggerWidth", 2, All()}})));
    add(FloatReg(0x030C, "ExposureTimeReg", RW)
            .InvalidatedBy("TriggerMode", AllBut(kD))
            .InvalidatedBy("Height", AllBut(kD))
            .InvalidatedBy("AcquisitionFrameRateReg", AllBut(kD))
            .InvalidatedBy("AcquisitionFrameRateModeReg", AllBut(kD))
            .InvalidatedBy("ExposureUpdateFeature", AllBut(kD))
            .With(Float("ExposureTime")
                      .Tip("Exposure time in microseconds.")
                      .Range(Same("10.0"), Same("ExposureTimeMaxReg"))
                      .Lock(InD("IsAETrue", nullptr))
                      .Unit("us")));
    add(IntReg(0x0310, "OverlapModeReg", RW)
            .With(Enumeration("OverlapMode")
                      .Tip("Overlap of exposure and read-out.")
                      .Custom()
                      .Invisible()
                      .Entries({{"mode1", 0, All()}, {"mode2", 1, All()}})));
    add(IntReg(0x0314, "AcquisitionFrameRateRawReg", RW)
            .With(Integer("AcquisitionFrameRateRaw")
                      .Tip("Frame rate in camera units.")
                      .Range(Same("0"), Same("1023"))
                      .ListedIn(AllBut(kD))));
    add(FloatReg(0x031C, "ExposureTimeMaxReg", RW)
            .InvalidatedBy("WidthReg", Groups(kD))
            .InvalidatedBy("HeightReg")
            .InvalidatedBy("AcquisitionFrameRateReg", AllBut(kD))
            .InvalidatedBy("AcquisitionFrameRateModeReg", AllBut(kD))
            .InvalidatedBy("TriggerMode", Groups(kD))
            .InvalidatedBy("ExposureUpdateFeature", AllBut(kD)));

    // Frame rate and automatic exposure: not in the 752-column descriptions.
    const Scope frameRate = AllBut(kD);
    add(FloatReg(0x0320, "AcquisitionFrameRateMaxReg", RW).In(frameRate).InvalidatedBy("HeightReg"));
    add(IntReg(0x0340, "ExposureAutoReg", RW)
            .In(frameRate)
            .InvalidatedBy("ExposureUpdateFeature")
            .With(Enumeration("ExposureAuto")
                      .Tip("Automatic exposure.")
                      .Entries({{"Off", 0, All()}, {"Once", 1, All()}, {"Continuous", 3, All()}})));
    add(IntReg(0x0344, "ExposureAutoTargetReg", RW)
            .In(frameRate)
            .With(Integer("ExposureAutoTarget")
                      .Tip("Mean grey value the automatic exposure aims at.")
                      .Custom()
                      .Range(Same("0"), Same("255"))));
    add(FloatReg(0x0348, "AcquisitionFrameRateReg", RW)
            .In(frameRate)
            .InvalidatedBy("HeightReg")
            .With(Float("AcquisitionFrameRate")
                      .Tip("Frame rate in frames per second.")
                      .Range(Same("1"), Same("AcquisitionFrameRateMaxReg"))
                      .Lock(Same("IsAcquisitionMode"))
                      .Unit("Hz")));
    add(IntReg(0x034C, "AcquisitionFrameRateModeReg", RW)
            .In(frameRate)
            .With(Enumeration("AcquisitionFrameRateMode")
                      .Tip("Whether the frame rate is set by AcquisitionFrameRate.")
                      .Custom()
                      .Entries({{"Off", 0, All()}, {"On", 1, All()}})));

    // Gamma.
    add(IntReg(0x0350, "GammaModeReg", RW)
            .With(
                Enumeration("GammaMode")
                    .Tip("Gamma curve applied by the camera.")
                    .Custom()
                    .Entries(
                        {{"Off", 0, All()}, {"mode0", 1, All()}, {"mode1", 2, All()}, {"Table", 3, All()}})));
    for (unsigned i = 0; i < 8; ++i) {
        const std::string feature = "GammaPositionY" + std::to_string(i);
        add(IntReg(0x0390 + 4 * i, feature + "Reg", RW)
                .With(Integer(feature)
                          .Tip("Ordinate of knot " + std::to_string(i) + " of the gamma table.")
                          .Custom()
                          .Range(Same("0"), InD("16383", "1023"))));
    }

    // User sets.
    add(IntReg(0x0400, "UserSetSelectorReg", RW)
            .With(Enumeration("UserSetSelector")
                      .Tip("Selects the user set to load or save.")
                      .Entries({{"UserSet1", 1, All()}})
                      .Selects({"UserSetLoad", "UserSetSave"})));
    add(IntReg(0x0404, "UserSetLoadReg", RW)
            .With(Command("UserSetLoad", 1).Tip("Loads the selected user set.")));
    add(IntReg(0x0408, "UserSetSaveReg", RW)
            .With(Command("UserSetSave", 1).Tip("Saves the current settings into the selected user set.")));
    add(IntReg(0x040C, "UserSetDefaultSelectorReg", RW)
            .Standard()
            .With(Enumeration("UserSetDefaultSelector")
                      .Tip("User set loaded when the camera starts.")
                      .Entries({{"Default", 0, All()}, {"UserSet1", 1, All()}})));

    // White balance: colour descriptions only.
    add(IntReg(0x4318, "BalanceWhiteAutoReg", RW)
            .In(Colour())
            .InvalidatedBy("BalanceUpdateFeature")
            .With(Enumeration("BalanceWhiteAuto")
                      .Tip("Automatic white balance.")
                      .Entries({{"Off", 0, All()}, {"Once", 1, All()}, {"Continuous", 2, All()}})));
    add(IntReg(0x431C, "BalanceRatioSelectorReg", RW)
            .In(Colour())
            .With(Enumeration("BalanceRatioSelector")
                      .Tip("Selects the colour whose balance ratio is set.")
                      .Entries({{"Red", 0, All()}, {"Blue", 2, All()}})
                      .Selects({"BalanceRatio"})));
    add(FloatReg(0x4320, "BalanceRatioReg", RW)
            .In(Colour())
            .InvalidatedBy("BalanceRatioSelector")
            .InvalidatedBy("BalanceUpdateFeature")
            .With(Float("BalanceRatio")
                      .Tip("Balance ratio of the selected colour.")
                      .Range(Same("0.0"), Same("8191.0"))));
    return rows;
}

std::vector<Feature> BuildUpdateCommands() {
    return {Command("ExposureUpdateFeature", 1)
                .Tip("Makes the host read the exposure values the automatic exposure changed.")
                .In(AllBut(kD))
                .Custom()
                .Invisible(),
            Command("BalanceUpdateFeature", 1)
                .Tip("Makes the host read the balance values the automatic white balance changed.")
                .In(Colour())
                .Custom()
                .Invisible()};
}

std::vector<Formula> BuildFormulas() {
    return {
        {"Width_MAX", {{"WIDTHMAX", "WidthMax"}, {"OFF_X", "OffsetXReg"}}, "WIDTHMAX - OFF_X", All()},
        {"HEIGHT_MAX", {{"HEIGHTMAX", "HeightMax"}, {"OFF_Y", "OffsetYReg"}}, "HEIGHTMAX - OFF_Y", All()},
        {"OFFSETX_MAX", {{"WIDTHMAX", "WidthMax"}, {"WIDTH", "WidthReg"}}, "WIDTHMAX-WIDTH", All()},
        {"OFFSETY_MAX", {{"HEIGHTMAX", "HeightMax"}, {"HEIGHT", "HeightReg"}}, "HEIGHTMAX-HEIGHT", All()},
        {"IsAcquisitionStart", {{"ACQEN", "AcqEnabledReg"}}, "ACQEN=1", All()},
        {"IsAcquisitionMode", {{"ACQMODEEN", "AcquisitionFrameRateModeReg"}}, "ACQMODEEN=0", AllBut(kD)},
        {"IsAETrue", {{"AUTO", "ExposureAutoReg"}}, "(AUTO<>0) ? 1: 0", AllBut(kD)},
        {"IsAEFalse", {{"AUTO", "ExposureAutoReg"}}, "(AUTO<>0) ? 0: 1", AllBut(kD)},
    };
}

std::vector<Category> BuildCategories() {
    return {
        {"Root",
         false,
         All(),
         {"DeviceControl", "ImageFormatControl", "AcquisitionControl", "AnalogControl", "StrobeControl",
          "GammaControl", "UserSetControl"}},
        {"DeviceControl",
         false,
         All(),
         {"DeviceVendorName", "DeviceModelName", "DeviceManufacturerInfo", "DeviceVersion", "DeviceID",
          "DeviceUserID", "DeviceScanType"}},
        {"ImageFormatControl",
         false,
         All(),
         {"WidthMax", "HeightMax", "Width", "Height", "OffsetX", "OffsetY", "PixelFormat",
          "TestImageSelector", "PayloadSize"}},
        {"AcquisitionControl",
         false,
         All(),
         {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "AcquisitionFrameCount",
          "AcquisitionStatusSelector", "AcquisitionStatus", "AcquisitionTriggerLossCount", "TriggerSoftware",
          "TriggerMode", "TriggerSource", "TriggerActivation", "TriggerDelay"}},
        {"AnalogControl",
         false,
         All(),
         {"GainRaw", "BlackLevelRaw", "ExposureMode", "ExposureTime", "ExposureUpdateFeature", "OverlapMode",
          "AcquisitionFrameRateRaw", "AcquisitionFrameRateMode", "AcquisitionFrameRate", "ExposureAuto",
          "ExposureAutoTarget", "BalanceWhiteAuto", "BalanceRatioSelector", "BalanceRatio",
          "BalanceUpdateFeature"}},
        {"StrobeControl",
         true,
         AllBut(kP),
         {"StrobeSoftwareHigh", "StrobeSoftwareLow", "StrobeMode", "StrobeSource", "StrobeActivation",
          "StrobeTime", "StrobeDelay"}},
        {"GammaControl",
         true,
         All(),
         {"GammaMode", "GammaPositionY0", "GammaPositionY1", "GammaPositionY2", "GammaPositionY3",
          "GammaPositionY4", "GammaPositionY5", "GammaPositionY6", "GammaPositionY7"}},
        {"UserSetControl",
         false,
         All(),
         {"UserSetSelector", "UserSetDefaultSelector", "UserSetLoad", "UserSetSave"}},
    };
}

}  // namespace

bool Scope::Has(const Resource& r) const {
    if (Contains(minus, r.id)) return false;
    return (groups & BitOf(r.group)) != 0 || Contains(plus, r.id);
}

Scope All() {
    return Scope{};
}
Scope None() {
    return Scope{0u, {}, {}};
}
Scope Groups(unsigned groups, std::vector<int> plus) {
    return Scope{groups, std::move(plus), {}};
}
Scope AllBut(unsigned groups) {
    return Scope{kAllGroups & ~groups, {}, {}};
}
Scope Only(std::vector<int> resources) {
    return Scope{0u, std::move(resources), {}};
}

const char* ByGroup::For(const Resource& r) const {
    return r.group == Group::D ? inD : normal;
}
ByGroup Same(const char* v) {
    return ByGroup{v, v};
}
ByGroup InD(const char* normal, const char* inD) {
    return ByGroup{normal, inD};
}

Feature Integer(std::string name) {
    return Named(std::move(name), FeatureKind::Integer);
}
Feature Float(std::string name) {
    return Named(std::move(name), FeatureKind::Float);
}
Feature Enumeration(std::string name) {
    return Named(std::move(name), FeatureKind::Enumeration);
}
Feature Boolean(std::string name) {
    return Named(std::move(name), FeatureKind::Boolean);
}
Feature Command(std::string name, long long commandValue) {
    Feature f = Named(std::move(name), FeatureKind::Command);
    f.commandValue = commandValue;
    return f;
}

RegisterRow IntReg(unsigned address, std::string name, Access access) {
    return Row(address, std::move(name), RegType::Int, 4, access);
}
RegisterRow FloatReg(unsigned address, std::string name, Access access) {
    return Row(address, std::move(name), RegType::Float, 4, access);
}
RegisterRow StringReg(unsigned address, std::string name, unsigned length, Access access) {
    return Row(address, std::move(name), RegType::String, length, access);
}

Access RegisterRow::AccessFor(const Resource& r) const {
    return rw.Has(r) ? Access::RW : access;
}

const std::vector<Resource>& Resources() {
    // Ids 104 to 118, 120 and 121; there is no 119.
    static const char* const cProduct = "f79ca3ae-d49c-45ab-ab01-ee9ff352e31a";
    static const char* const cVersion = "44a62bbd-1888-432e-890b-8ef686865229";
    static const char* const mProduct = "b3983b1f-a1dd-4bdd-a25b-7f070b63e329";
    static const char* const mVersion = "00bb0528-46ef-47d0-8e33-687272a80afc";
    static const std::vector<Resource> resources = {
        {104, Group::C, cProduct, cVersion},
        {105, Group::P, "29ac67cb-99bb-4577-895a-323b1b9e3e5f", "971cb14e-af97-4d7b-85f3-8a145db1f022"},
        {106, Group::P, "ef7a0b01-bf52-445c-8777-847c0296847d", "fdddcefe-3a75-4bd7-93b3-40fe42d10f12"},
        {107, Group::M, mProduct, mVersion},
        {108, Group::M, mProduct, mVersion},
        {109, Group::M, mProduct, mVersion},
        {110, Group::M, mProduct, mVersion},
        {111, Group::M, mProduct, mVersion},
        {112, Group::M, mProduct, mVersion},
        {113, Group::D, "d53b927a-5e80-4cb8-9c2a-1766c46f10a2", "6ede0da8-f458-4fa6-8224-9ac8116841be"},
        {114, Group::M, mProduct, mVersion},
        {115, Group::C, cProduct, cVersion},
        {116, Group::C, cProduct, cVersion},
        {117, Group::C, cProduct, cVersion},
        {118, Group::C, cProduct, cVersion},
        {120, Group::D, "0ed7fa6b-04dc-4da9-a63c-afc4b820bace", "f78c5ebd-9eb2-4960-8782-20f1f10941bd"},
        {121, Group::C, cProduct, cVersion},
    };
    return resources;
}

const Resource* FindResource(int id) {
    for (const Resource& r : Resources())
        if (r.id == id) return &r;
    return nullptr;
}

const std::vector<RegisterRow>& Registers() {
    static const std::vector<RegisterRow> rows = BuildRegisters();
    return rows;
}

const std::vector<Feature>& UpdateCommands() {
    static const std::vector<Feature> commands = BuildUpdateCommands();
    return commands;
}

const std::vector<Formula>& Formulas() {
    static const std::vector<Formula> formulas = BuildFormulas();
    return formulas;
}

const std::vector<Category>& Categories() {
    static const std::vector<Category> categories = BuildCategories();
    return categories;
}

}  // namespace Kovon::Descriptions
