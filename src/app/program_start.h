#pragma once

#include <memory>
#include <optional>

#include "platform/host_link.h"
#include "platform/single_instance.h"

namespace ol {

// What both editions do before anything else: one instance per session, held from before
// the window exists to the end of the process, and argument 1 as the host's window handle
// (a decimal number from 1 to 2^32 - 1). Returns the exit code when the program must end
// now, nothing when it goes on.
std::optional<int> StartProgram(int argc, char** argv, std::unique_ptr<SingleInstance>& instance,
                                WindowHandle& host);

}  // namespace ol
