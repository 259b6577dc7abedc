#pragma once

#include <cstdint>
#include <filesystem>
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

// Makes what was written durable: a file's data, and a folder's entries after a rename.
// The platform supplies it; without one, replacements are atomic for readers but a power
// cut may lose them.
class FileSync {
 public:
  virtual ~FileSync() = default;
  // False when the data cannot be made durable.
  virtual bool SyncFile(const std::filesystem::path& file) const = 0;
  virtual bool SyncFolder(const std::filesystem::path& dir) const = 0;
};

// Writes bytes to a new temporary file beside path (path + ".tmp" + digits), durable
// when sync is given, and returns its name. Nothing is left behind when it throws
// FileError.
std::filesystem::path WriteTemporary(const std::filesystem::path& path, std::string_view bytes,
                                     const FileSync* sync);
// True for a name WriteTemporary gives: some name, ".tmp", then digits.
bool IsTemporaryName(std::string_view fileName);
// Renames from over to and makes the folder's new entry durable. Throws FileError.
void RenameDurably(const std::filesystem::path& from, const std::filesystem::path& to,
                   const FileSync* sync);
// Writes to a temporary file beside path and renames it over path, so readers see either
// the old or the new contents, never a part, and a power cut keeps one of the two.
// Throws FileError; leaves no temporary file behind.
void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                     const FileSync* sync = nullptr);

// A path from UTF-8 text, and a path as UTF-8 text: the same bytes on Linux; on Windows
// the UTF-16 of the file system, where a narrow string would go through the ANSI code
// page (and a Chinese name not in it would be lost).
std::filesystem::path Utf8Path(std::string_view utf8);
std::string Utf8Text(const std::filesystem::path& path);

// ASCII trim of spaces, tabs, CR and LF (the blanks of the stored layouts).
std::string Trim(std::string_view text);
// A decimal text between blanks as a number, or -1 when it is not one (an edited control
// may hold anything).
int DecimalOf(std::string_view text);

}  // namespace ol
