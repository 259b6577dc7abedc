#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_sync.h"

namespace ol {
namespace {

bool Sync(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

bool SystemFileSync::SyncFile(NativeFile file) const {
  return Sync(static_cast<int>(file));
}

bool SystemFileSync::SyncFolder(const std::filesystem::path& dir) const {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = Sync(fd);
  ::close(fd);
  return ok;
}

}  // namespace ol
