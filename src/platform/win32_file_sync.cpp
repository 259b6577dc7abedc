#include <windows.h>

#include "platform/file_sync.h"

namespace ol {

bool SystemFileSync::SyncFile(NativeFile file) const {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

bool SystemFileSync::SyncFolder(const std::filesystem::path& dir) const {
  // The folder's entries after a replace: NTFS journals the rename itself, and flushing a
  // folder handle is refused on some file systems, so a refusal is no failure.
  HANDLE h = CreateFileW(dir.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;
  FlushFileBuffers(h);
  CloseHandle(h);
  return true;
}

}  // namespace ol
