#include "core/text_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>
#include <thread>

#include "core/error_text.h"
#include "core/gbk.h"

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
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  std::string out;
  out.reserve(size);
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

std::string DisplayText(const std::filesystem::path& path) {
  std::string text = Utf8Text(path);
  if (text.starts_with("\\\\?\\UNC\\")) return "\\\\" + text.substr(8);
  if (text.starts_with("\\\\?\\")) return text.substr(4);
  return text;
}

namespace {

constexpr std::string_view kTemporaryMark = ".ol-";
constexpr std::string_view kTemporaryEnd = ".tmp";
constexpr std::size_t kTemporaryDigits = 16;

#ifdef _WIN32
// The system's text for an error, as UTF-8, with its number.
std::string SystemMessage(DWORD error) {
  return ErrorText(std::error_code(static_cast<int>(error), std::system_category()));
}

// Writes the whole of bytes through the handle; the system's error, or 0.
DWORD WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return GetLastError();
    bytes.remove_prefix(written);
  }
  return 0;
}
#else
std::string SystemMessage(int error) {
  return std::generic_category().message(error);
}

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}
#endif

enum class Created { kDone, kNameTaken, kFailed };

// Creates tmp, which must not exist, writes bytes and flushes them through the same
// handle before closing it. On failure, why names path (the file it stands for).
Created CreateWithContents(const std::filesystem::path& tmp, const std::filesystem::path& path,
                           std::string_view bytes, const FileSync* sync, std::string& why) {
  auto fail = [&](const char* what, const std::string& reason) {
    if (why.empty()) why = std::string(what) + " " + DisplayText(path) + reason;
  };
#ifdef _WIN32
  HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return Created::kNameTaken;
    fail("cannot create", ": " + SystemMessage(error));
    return Created::kFailed;
  }
  if (const DWORD error = WriteAll(file, bytes))
    fail("cannot write", ": " + SystemMessage(error));
  else if (sync && !sync->SyncFile(reinterpret_cast<NativeFile>(file)))
    fail("cannot flush", "");
  if (!CloseHandle(file)) fail("cannot write", ": " + SystemMessage(GetLastError()));
#else
  const int file = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (file < 0) {
    if (errno == EEXIST) return Created::kNameTaken;
    fail("cannot create", ": " + SystemMessage(errno));
    return Created::kFailed;
  }
  if (const int error = WriteAll(file, bytes))
    fail("cannot write", ": " + SystemMessage(error));
  else if (sync && !sync->SyncFile(file))
    fail("cannot flush", "");
  if (::close(file) != 0) fail("cannot write", ": " + SystemMessage(errno));
#endif
  return why.empty() ? Created::kDone : Created::kFailed;
}

#ifdef _WIN32
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | kKeptAttributes;

// Adds to or takes from a file's attributes; a file without any is "normal".
void ChangeAttributes(const std::filesystem::path& path, DWORD add, DWORD remove) {
  const DWORD now = GetFileAttributesW(path.c_str());
  if (now == INVALID_FILE_ATTRIBUTES) return;
  const DWORD next = (now | add) & ~remove;
  if (next != now) SetFileAttributesW(path.c_str(), next ? next : FILE_ATTRIBUTE_NORMAL);
}

// Windows refuses to replace a read-only file (and, on some file systems, a hidden or
// system one): those attributes are taken off first. Returns what was taken.
std::uint32_t ClearBlockingAttributes(const std::filesystem::path& to) {
  const DWORD now = GetFileAttributesW(to.c_str());
  if (now == INVALID_FILE_ATTRIBUTES || (now & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  ChangeAttributes(to, 0, kBlockingAttributes);
  return now & kBlockingAttributes;
}

// After the replacement the new file is hidden (or a system file) as the old one was: a
// host that hides its exchange files keeps them hidden. It stays writable, since the
// gateway writes it again at the next request. When the replacement failed, the old file
// gets back all it had.
void RestoreAttributes(const std::filesystem::path& to, std::uint32_t taken, bool replaced) {
  if (taken) ChangeAttributes(to, replaced ? (taken & kKeptAttributes) : taken, 0);
}
#else
std::uint32_t ClearBlockingAttributes(const std::filesystem::path&) {
  return 0;
}
void RestoreAttributes(const std::filesystem::path&, std::uint32_t, bool) {}
#endif

}  // namespace

RenameRetry::Result SystemRename(const std::filesystem::path& from,
                                 const std::filesystem::path& to) {
  using Outcome = RenameRetry::Outcome;
#ifdef _WIN32
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  const DWORD error = GetLastError();
  // A folder where the file belongs is refused as access too, and lasts.
  const DWORD target = GetFileAttributesW(to.c_str());
  const bool folder = target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY);
  const bool held = !folder && (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                                error == ERROR_LOCK_VIOLATION);
#else
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  const int error = errno;
  const bool held = error == EBUSY || error == EACCES;
#endif
  return {held ? Outcome::kHeld : Outcome::kFailed, SystemMessage(error)};
}

const RenameRetry& SystemRenameRetry() {
  using std::chrono::milliseconds;
  static const RenameRetry retry{
      {milliseconds(10), milliseconds(20), milliseconds(40), milliseconds(80), milliseconds(160),
       milliseconds(320), milliseconds(370)},
      [](milliseconds pause) { std::this_thread::sleep_for(pause); },
      SystemRename};
  return retry;
}

std::filesystem::path WriteTemporary(const std::filesystem::path& path, std::string_view bytes,
                                     const FileSync* sync) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  // A taken name (a crash's leftover) is tried again under another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    char digits[kTemporaryDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(rng()));
    std::filesystem::path tmp = path;
    tmp += std::string(kTemporaryMark) + digits + std::string(kTemporaryEnd);
    std::string why;
    const Created created = CreateWithContents(tmp, path, bytes, sync, why);
    if (created == Created::kDone) return tmp;
    if (created == Created::kFailed) {
      std::error_code ignored;
      std::filesystem::remove(tmp, ignored);
      throw FileError(why);
    }
  }
  throw FileError("cannot create " + DisplayText(path) + ": no free name for its temporary");
}

bool IsTemporaryName(std::string_view fileName) {
  const std::size_t tail = kTemporaryMark.size() + kTemporaryDigits + kTemporaryEnd.size();
  if (fileName.size() <= tail) return false;
  const std::string_view end = fileName.substr(fileName.size() - tail);
  if (end.substr(0, kTemporaryMark.size()) != kTemporaryMark ||
      end.substr(end.size() - kTemporaryEnd.size()) != kTemporaryEnd)
    return false;
  const std::string_view digits = end.substr(kTemporaryMark.size(), kTemporaryDigits);
  return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string TemporaryTarget(std::string_view fileName) {
  const std::size_t tail = kTemporaryMark.size() + kTemporaryDigits + kTemporaryEnd.size();
  return std::string(fileName.substr(0, fileName.size() - std::min(tail, fileName.size())));
}

void RenameDurably(const std::filesystem::path& from, const std::filesystem::path& to,
                   const FileSync* sync, const RenameRetry& retry) {
  const std::uint32_t taken = ClearBlockingAttributes(to);
  RenameRetry::Result result = retry.move(from, to);
  std::chrono::milliseconds waited{0};
  for (std::chrono::milliseconds pause : retry.pauses) {
    if (result.outcome != RenameRetry::Outcome::kHeld) break;
    retry.pause(pause);
    waited += pause;
    result = retry.move(from, to);
  }
  const bool replaced = result.outcome == RenameRetry::Outcome::kDone;
  RestoreAttributes(to, taken, replaced);
  if (!replaced) {
    std::string why = "cannot replace " + DisplayText(to) + ": " + result.why;
    if (result.outcome == RenameRetry::Outcome::kHeld)
      throw FileHeld(why + "; another program still held it after " +
                     std::to_string(waited.count()) + " ms");
    throw FileError(why);
  }
  if (sync && !sync->SyncFolder(to.parent_path()))
    throw FileError("cannot flush the folder of " + DisplayText(to));
}

void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                     const FileSync* sync, const RenameRetry& retry) {
  const std::filesystem::path tmp = WriteTemporary(path, bytes, sync);
  try {
    RenameDurably(tmp, path, sync, retry);
  } catch (const FileError&) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    throw;
  }
}

void MakeWritable(const std::filesystem::path& path) {
#ifdef _WIN32
  ChangeAttributes(path, 0, FILE_ATTRIBUTE_READONLY);
#else
  (void)path;
#endif
}

std::optional<std::filesystem::path> AnsiHostName(std::string_view utf8Name) {
#ifdef _WIN32
  if (GetACP() == 936) return std::nullopt;
  const std::string gbk = Utf8ToGbk(utf8Name);
  if (gbk == utf8Name) return std::nullopt;  // ASCII: the same in every code page
  const int n =
      MultiByteToWideChar(CP_ACP, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, gbk.data(), static_cast<int>(gbk.size()), wide.data(), n);
  return std::filesystem::path(wide);
#else
  (void)utf8Name;
  return std::nullopt;
#endif
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
