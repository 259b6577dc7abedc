#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ol {

// The folder of files shared with the host. Names are matched without regard to ASCII
// case, so "DCJ.TXT" is the existing "DCJ.txt"; a name with no match is created as given.
class TxtFolder {
 public:
  // Creates the folder when it is missing. Throws FileError when that fails.
  explicit TxtFolder(std::filesystem::path dir);

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path PathOf(std::string_view name) const;
  bool Exists(std::string_view name) const;
  std::optional<std::string> Read(std::string_view name) const;
  std::optional<std::vector<std::string>> ReadLines(std::string_view name) const;
  // Replaces the file whole and atomically. Throws FileError.
  void Write(std::string_view name, std::string_view bytes) const;
  void WriteLines(std::string_view name, const std::vector<std::string>& lines) const;

 private:
  std::filesystem::path dir_;
};

}  // namespace ol
