#pragma once

#include "core/text_file.h"

namespace ol {

// Flushes through the operating system's own calls (fsync, FlushFileBuffers) on the
// writing handle, then on the folder.
class SystemFileSync : public FileSync {
 public:
  bool SyncFile(NativeFile file) const override;
  bool SyncFolder(const std::filesystem::path& dir) const override;
};

}  // namespace ol
