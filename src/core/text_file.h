#pragma once

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
// Writes to a temporary file beside path and renames it over path, so readers see either
// the old or the new contents, never a part. Throws FileError.
void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes);

// ASCII trim of spaces, tabs, CR and LF (the blanks of the stored layouts).
std::string Trim(std::string_view text);

}  // namespace ol
