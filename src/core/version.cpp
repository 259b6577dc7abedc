#include "core/version.h"

#include "orderlink_version.h"

namespace ol {

const char kVersion[] = ORDERLINK_VERSION;

}  // namespace ol
