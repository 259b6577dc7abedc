#pragma once

#include <filesystem>
#include <string>

namespace ol::testing {

// A fresh folder under the system's temporary folder, removed with its contents at the
// end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Raw file helpers for assertions.
std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// Sets (or with nullptr removes) an environment variable and makes the C library's time
// zone follow TZ.
void SetEnvironment(const char* name, const char* value);

}  // namespace ol::testing
