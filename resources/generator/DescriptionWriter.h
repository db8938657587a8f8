// Turns the description table into the GenApi 1.1 XML text of one resource.
#pragma once

#include <string>

#include "DescriptionTable.h"

namespace Kovon::Descriptions {

// The complete XML text of resource r. Throws std::runtime_error when the table is inconsistent
// for r: a node name used twice, a reference to a node the description lacks, a feature that no
// category lists or that two categories list, a category entry that names no feature.
std::string WriteDescription(const Resource& r);

// "AcquisitionFrameRate" -> "Acquisition Frame Rate", "DeviceID" -> "Device ID".
std::string DisplayNameOf(const std::string& name);

}  // namespace Kovon::Descriptions
