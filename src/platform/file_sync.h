#pragma once

#include "core/text_file.h"

namespace ol {

// Flushes through the operating system's own calls (fsync of the file, then of its folder).
class SystemFileSync : public FileSync {
 public:
  bool SyncFile(const std::filesystem::path& file) const override;
  bool SyncFolder(const std::filesystem::path& dir) const override;
};

}  // namespace ol
