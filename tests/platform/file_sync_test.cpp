#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <vector>

#include "core/text_file.h"
#include "platform/file_sync.h"
#include "testing/temp_dir.h"

namespace ol {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// Plays a virus scanner: every new file in the folder is opened for reading, without
// sharing writes, while the system makes it durable.
class ScannedSync : public SystemFileSync {
 public:
  explicit ScannedSync(std::filesystem::path dir) : dir_(std::move(dir)) {}
  bool SyncFile(NativeFile file) const override {
    std::vector<std::intptr_t> scans;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (!IsTemporaryName(Utf8Text(entry.path().filename()))) continue;
#ifdef _WIN32
      HANDLE h =
          CreateFileW(entry.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) scans.push_back(reinterpret_cast<std::intptr_t>(h));
#else
      const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) scans.push_back(fd);
#endif
    }
    ++syncs;
    const bool ok = SystemFileSync::SyncFile(file);
    for (std::intptr_t scan : scans) {
#ifdef _WIN32
      CloseHandle(reinterpret_cast<HANDLE>(scan));
#else
      ::close(static_cast<int>(scan));
#endif
    }
    return ok;
  }
  mutable int syncs = 0;

 private:
  std::filesystem::path dir_;
};

TEST(SystemFileSync, AReaderOfTheNewFileDoesNotCostTheReplacement) {
  TempDir tmp;
  ScannedSync sync(tmp.Path());
  WriteBytes(tmp.Path() / "T1.txt", "old");
  EXPECT_NO_THROW(WriteFileAtomic(tmp.Path() / "T1.txt", "new request", &sync));
  EXPECT_EQ(sync.syncs, 1);
  EXPECT_EQ(ReadBytes(tmp.Path() / "T1.txt"), "new request");
}

}  // namespace
}  // namespace ol
