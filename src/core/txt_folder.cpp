#include "core/txt_folder.h"

#include "core/text_file.h"

namespace ol {
namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TxtFolder::TxtFolder(std::filesystem::path dir) : dir_(std::move(dir)) {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  if (!std::filesystem::is_directory(dir_))
    throw FileError("cannot create folder " + dir_.string() + ": " + ec.message());
}

std::filesystem::path TxtFolder::PathOf(std::string_view name) const {
  std::filesystem::path exact = dir_ / std::filesystem::path(std::string(name));
  std::error_code ec;
  if (std::filesystem::exists(exact, ec)) return exact;
  for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string candidate = it->path().filename().string();
    if (SameNameIgnoringCase(candidate, name)) return it->path();
  }
  return exact;
}

bool TxtFolder::Exists(std::string_view name) const {
  std::error_code ec;
  return std::filesystem::is_regular_file(PathOf(name), ec);
}

std::optional<std::string> TxtFolder::Read(std::string_view name) const {
  return ReadWholeFile(PathOf(name));
}

std::optional<std::vector<std::string>> TxtFolder::ReadLines(std::string_view name) const {
  auto data = Read(name);
  if (!data) return std::nullopt;
  return SplitLines(*data);
}

void TxtFolder::Write(std::string_view name, std::string_view bytes) const {
  WriteFileAtomic(PathOf(name), bytes);
}

void TxtFolder::WriteLines(std::string_view name, const std::vector<std::string>& lines) const {
  Write(name, JoinCrLf(lines));
}

}  // namespace ol
