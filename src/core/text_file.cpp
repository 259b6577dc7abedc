#include "core/text_file.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <charconv>
#include <fstream>
#include <random>

namespace ol {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  // A folder opens like a file here but fails to read, and the stream's buffer reports
  // that by throwing: only a regular file is read. Read to its end, not to its stated
  // size, as files of the kernel state none.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return data;
  } catch (const std::ios_base::failure&) {
    return std::nullopt;
  }
}

namespace {

// When the file was last written, as finely as the file system keeps it: the C runtime's
// stat on Windows has whole seconds only, too coarse to tell two replies apart.
std::int64_t LastWriteTime(const std::filesystem::path& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
#else
  std::error_code ec;
  const auto time = std::filesystem::last_write_time(path, ec);
  return ec ? 0 : static_cast<std::int64_t>(time.time_since_epoch().count());
#endif
}

}  // namespace

std::optional<FilePrefix> ReadFilePrefix(const std::filesystem::path& path, std::size_t limit) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  try {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    FilePrefix out;
    const auto end = in.tellg();
    in.seekg(0);
    if (end < 0 || !in) return std::nullopt;
    out.size = static_cast<std::uintmax_t>(end);
    out.written = LastWriteTime(path);
    out.bytes.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(out.size, limit)));
    in.read(out.bytes.data(), static_cast<std::streamsize>(out.bytes.size()));
    out.bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return out;
  } catch (const std::ios_base::failure&) {
    return std::nullopt;
  }
}

std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path WriteTemporary(const std::filesystem::path& path, std::string_view bytes,
                                     const FileSync* sync) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::filesystem::path tmp = path;
  tmp += ".tmp" + std::to_string(rng() % 1000000007);
  auto fail = [&](const std::string& why) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    return FileError(why);
  };
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw fail("cannot create " + Utf8Text(path));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw fail("cannot write " + Utf8Text(path));
  }
  if (sync && !sync->SyncFile(tmp)) throw fail("cannot flush " + Utf8Text(path));
  return tmp;
}

bool IsTemporaryName(std::string_view fileName) {
  const std::size_t dot = fileName.rfind(".tmp");
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view digits = fileName.substr(dot + 4);
  if (digits.empty() || digits.size() > 10) return false;
  return digits.find_first_not_of("0123456789") == std::string_view::npos;
}

void RenameDurably(const std::filesystem::path& from, const std::filesystem::path& to,
                   const FileSync* sync) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  if (ec) throw FileError("cannot replace " + Utf8Text(to) + ": " + ec.message());
  if (sync && !sync->SyncFolder(to.parent_path()))
    throw FileError("cannot flush the folder of " + Utf8Text(to));
}

void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                     const FileSync* sync) {
  const std::filesystem::path tmp = WriteTemporary(path, bytes, sync);
  try {
    RenameDurably(tmp, path, sync);
  } catch (const FileError&) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    throw;
  }
}

std::string Trim(std::string_view text) {
  const char* blanks = " \t\r\n";
  auto b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  auto e = text.find_last_not_of(blanks);
  return std::string(text.substr(b, e - b + 1));
}

int DecimalOf(std::string_view text) {
  const std::string t = Trim(text);
  int n = -1;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
  return ec == std::errc{} && end == t.data() + t.size() && !t.empty() ? n : -1;
}

}  // namespace ol
