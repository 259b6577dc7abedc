#include "core/text_file.h"

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
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

void WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::filesystem::path tmp = path;
  tmp += ".tmp" + std::to_string(rng() % 1000000007);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw FileError("cannot create " + tmp.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      std::filesystem::remove(tmp, ignored);
      throw FileError("cannot write " + path.string());
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    throw FileError("cannot replace " + path.string() + ": " + ec.message());
  }
}

std::string Trim(std::string_view text) {
  const char* blanks = " \t\r\n";
  auto b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  auto e = text.find_last_not_of(blanks);
  return std::string(text.substr(b, e - b + 1));
}

}  // namespace ol
