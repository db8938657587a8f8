#pragma once
// The GenICam register description of the simulated GigE Vision camera.
#include <string>

namespace Kovon::Sim {

// File name used in the camera's first URL.
constexpr const char* kGigEDescriptionFile = "KovonSimGigE.xml";

// The description text for a camera of this model name (non-name characters become "_").
std::string BuildGigECameraXml(const std::string& modelName);

}  // namespace Kovon::Sim
