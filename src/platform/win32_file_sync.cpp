#include <windows.h>

#include "platform/file_sync.h"

namespace ol {

bool SystemFileSync::SyncFile(const std::filesystem::path& file) const {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

bool SystemFileSync::SyncFolder(const std::filesystem::path&) const {
  // The rename is made durable by the replace itself (MoveFileEx with
  // MOVEFILE_WRITE_THROUGH); Windows cannot flush a folder.
  return true;
}

}  // namespace ol
