#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_sync.h"

namespace ol {
namespace {

bool SyncPath(const std::filesystem::path& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  ::close(fd);
  return rc == 0;
}

}  // namespace

bool SystemFileSync::SyncFile(const std::filesystem::path& file) const {
  return SyncPath(file, O_RDONLY);
}

bool SystemFileSync::SyncFolder(const std::filesystem::path& dir) const {
  return SyncPath(dir, O_RDONLY | O_DIRECTORY);
}

}  // namespace ol
