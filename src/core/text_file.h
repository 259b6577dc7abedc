#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ol {

// A file that could not be written or read; what() names the file and the reason.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Another program still held the file when the tries ran out: a later try may succeed.
class FileHeld : public FileError {
 public:
  using FileError::FileError;
};

// Lines end at CR LF, a lone CR or a lone LF; a final line break makes no extra line.
std::vector<std::string> SplitLines(std::string_view text);
// Every line followed by CR LF, the last one too.
std::string JoinCrLf(const std::vector<std::string>& lines);

// Whole file contents, or nothing when the file cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

// The first bytes of a file and the size of the whole.
struct FilePrefix {
  std::string bytes;
  std::uintmax_t size = 0;
  // When the file was last written, as the folder keeps it (0 where it keeps nothing): a
  // file rewritten with the same bytes reads as new.
  std::int64_t written = 0;
};
// At most limit bytes from the start of the file, however large it is; nothing when the
// file cannot be read.
std::optional<FilePrefix> ReadFilePrefix(const std::filesystem::path& path, std::size_t limit);

// A file open for writing as the operating system knows it: a file descriptor on POSIX,
// a HANDLE on Windows.
using NativeFile = std::intptr_t;

// Makes what was written durable: a file's data, and a folder's entries after a rename.
// The platform supplies it; without one, replacements are atomic for readers but a power
// cut may lose them.
class FileSync {
 public:
  virtual ~FileSync() = default;
  // Flushes the data written through the file's own handle, before it is closed: a file
  // opened anew could be refused (another program holds it) or miss a write error. False
  // when the data cannot be made durable.
  virtual bool SyncFile(NativeFile file) const = 0;
  virtual bool SyncFolder(const std::filesystem::path& dir) const = 0;
};

// How a replacement waits out another program that holds the file for a moment (a virus
// scanner opening each new file, a host still reading the old one): the rename is tried
// again after each pause in turn, then fails naming the file. Tests pause without waiting
// and may play the system's refusals.
struct RenameRetry {
  enum class Outcome { kDone, kHeld, kFailed };
  struct Result {
    Outcome outcome = Outcome::kDone;
    std::string why;  // when not done
  };
  // The pauses between tries; together they bound the wait.
  std::vector<std::chrono::milliseconds> pauses;
  std::function<void(std::chrono::milliseconds)> pause;
  // Moves from over to, replacing it.
  std::function<Result(const std::filesystem::path& from, const std::filesystem::path& to)> move;
};
// The system's rename, tried again while another program holds either file (on Windows a
// sharing, lock or access refusal; on POSIX EBUSY and EACCES, which a folder shared from
// Windows returns for those), after pauses growing from 10 ms, about 1 s in all.
const RenameRetry& SystemRenameRetry();
// The system's rename alone, tried once.
RenameRetry::Result SystemRename(const std::filesystem::path& from,
                                 const std::filesystem::path& to);

// Writes bytes to a new temporary file beside path (path + ".ol-" + 16 hex digits +
// ".tmp", a name no other program gives), durable when sync is given, and returns its
// name. Nothing is left behind when it throws FileError.
std::filesystem::path WriteTemporary(const std::filesystem::path& path, std::string_view bytes,
                                     const FileSync* sync);
// True for a name WriteTemporary gives.
bool IsTemporaryName(std::string_view fileName);
// The name of the file a temporary of WriteTemporary was written for.
std::string TemporaryTarget(std::string_view fileName);
// Renames from over to and makes the folder's new entry durable. Throws FileError. On
// Windows a read-only, hidden or system target is replaced all the same; the new file
// keeps the hidden and system attributes, and stays writable.
void RenameDurably(const std::filesystem::path& from, const std::filesystem::path& to,
                   const FileSync* sync, const RenameRetry& retry = SystemRenameRetry());
// Writes to a temporary file beside path and renames it over path, so readers see either
// the old or the new contents, never a part, and a power cut keeps one of the two.
// Throws FileError; leaves no temporary file behind.
void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                     const FileSync* sync = nullptr,
                     const RenameRetry& retry = SystemRenameRetry());
// Clears the read-only attribute of a file the gateway writes (Windows; on POSIX the
// permissions are the owner's to set and are left alone).
void MakeWritable(const std::filesystem::path& path);

// The name as a program built for the system's ANSI code page creates it from the name's
// GBK bytes (the bytes read in that code page), where that differs from the name: on
// Windows with another code page than 936, for a name that is not ASCII. Nothing on POSIX.
std::optional<std::filesystem::path> AnsiHostName(std::string_view utf8Name);

// A path from UTF-8 text, and a path as UTF-8 text: the same bytes on Linux; on Windows
// the UTF-16 of the file system, where a narrow string would go through the ANSI code
// page (and a Chinese name not in it would be lost).
std::filesystem::path Utf8Path(std::string_view utf8);
std::string Utf8Text(const std::filesystem::path& path);
// A path as the operator reads it: UTF-8, without the long-path prefix (\\?\C:\TXT is C:\TXT,
// \\?\UNC\server\share is \\server\share) that the program adds for itself.
std::string DisplayText(const std::filesystem::path& path);

// ASCII trim of spaces, tabs, CR and LF (the blanks of the stored layouts).
std::string Trim(std::string_view text);
// A decimal text between blanks as a number, or -1 when it is not one (an edited control
// may hold anything).
int DecimalOf(std::string_view text);

}  // namespace ol
