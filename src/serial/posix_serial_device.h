#pragma once

#include <string>

namespace ol {

// The device path of a port name: a name that begins with '/' is a path as it stands,
// any other name X means /dev/X.
std::string PosixDevicePath(const std::string& name);

}  // namespace ol
