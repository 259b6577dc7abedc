#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_store.h"
#include "core/text_file.h"

namespace ol {

// The folder of files shared with the host. Names are matched without regard to ASCII
// case, so "DCJ.TXT" is the existing "DCJ.txt"; a name with no match is created as given.
// Copies share the same files.
class TxtFolder {
 public:
  // The folder on the disk. Creates it when it is missing; throws FileError when that
  // fails. With sync, every replacement is flushed to the disk before it is relied on.
  explicit TxtFolder(std::filesystem::path dir, const FileSync* sync = nullptr);
  // The files of any store (one held in memory for tests).
  explicit TxtFolder(std::shared_ptr<FileStore> store);

  FileStore& Store() const { return *store_; }
  // The folder on the disk; empty when the store is not on the disk.
  const std::filesystem::path& Dir() const { return dir_; }
  // The file's path on the disk. Throws std::logic_error when the store is not on the disk.
  std::filesystem::path PathOf(std::string_view name) const;
  bool Exists(std::string_view name) const;
  std::optional<std::string> Read(std::string_view name) const;
  std::optional<std::vector<std::string>> ReadLines(std::string_view name) const;
  // At most limit bytes from the start of the file and the size of the whole.
  std::optional<FilePrefix> ReadPrefix(std::string_view name, std::size_t limit) const;
  // Replaces the file whole and atomically. Throws FileError.
  void Write(std::string_view name, std::string_view bytes) const;
  void WriteLines(std::string_view name, const std::vector<std::string>& lines) const;
  // WriteLines tried once: false when another program holds the file.
  bool TryWriteLines(std::string_view name, const std::vector<std::string>& lines) const;
  // Replaces several files as one: should the program die at any instant, the next
  // Recover leaves either all the old or all the new files. Throws FileError; the old
  // files stay when it fails before every new one is complete.
  void WriteTogether(const std::vector<std::pair<std::string, std::string>>& files) const;
  // At start: completes a WriteTogether that was interrupted after all its new files
  // were complete, and removes the temporary files that interrupted writes left behind.
  // Returns what it did, one line each, for the log.
  std::vector<std::string> Recover() const;

  // The record of a WriteTogether in progress on the disk: the names of its complete
  // temporaries.
  static constexpr const char* kPendingRecord = DiskFileStore::kPendingRecord;

 private:
  std::shared_ptr<FileStore> store_;
  const DiskFileStore* disk_ = nullptr;
  std::filesystem::path dir_;
};

}  // namespace ol
