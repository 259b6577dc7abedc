#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/text_file.h"

namespace ol {

// True when a and b are the same name once ASCII letters are folded to one case; other
// bytes (UTF-8 of Chinese names) must match exactly.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// The files of one folder, by name. Names are matched without regard to ASCII case: a
// name that matches an existing file means that file, whose name stays as it is; a name
// with no match is created as given. Writes throw FileError, whose text names the file.
// On the disk in the program; held in memory where tests and simulations need thousands
// of runs a second or a write that fails at a chosen moment.
class FileStore {
 public:
  using Files = std::vector<std::pair<std::string, std::string>>;

  virtual ~FileStore() = default;

  // The folder, as UTF-8 text for messages.
  virtual std::string Where() const = 0;
  virtual bool Exists(std::string_view name) const = 0;
  // Whole contents; nothing when there is no such file or it cannot be read.
  virtual std::optional<std::string> Read(std::string_view name) const = 0;
  // At most limit bytes from the start of the file and the size of the whole.
  virtual std::optional<FilePrefix> ReadPrefix(std::string_view name, std::size_t limit) const = 0;
  // The names of the files in the folder, in no particular order.
  virtual std::vector<std::string> Names() const = 0;

  // Replaces the file whole: a reader sees the old or the new contents, never a part.
  virtual void Replace(std::string_view name, std::string_view bytes) = 0;
  // Replace without waiting for a file another program holds, for a caller that tries
  // again later itself: false when it was held. Throws FileError for any other failure.
  virtual bool TryReplace(std::string_view name, std::string_view bytes) {
    try {
      Replace(name, bytes);
      return true;
    } catch (const FileHeld&) {
      return false;
    }
  }
  // Replaces several files as one: should the program die at any instant, the next
  // Recover leaves either all the old or all the new files. The old files stay when it
  // throws before every new one is complete.
  virtual void ReplaceTogether(const Files& files) = 0;
  // At start: completes or clears what interrupted replacements left; one line each for
  // the log.
  virtual std::vector<std::string> Recover() = 0;
  // Adds bytes at the end of the file, creating it, and the folder, when missing. Not
  // atomic and not made durable: for logs, where a lost tail is no harm.
  virtual void Append(std::string_view name, std::string_view bytes) = 0;
  // True when a file was removed.
  virtual bool Remove(std::string_view name) = 0;

  // The folder of exactly that name inside this one, which need not exist yet.
  virtual std::shared_ptr<FileStore> Folder(std::string_view name) = 0;
};

// A folder on the disk: replacements through a temporary file in the same folder renamed
// over the old one, durable when a FileSync is given.
class DiskFileStore : public FileStore {
 public:
  // The record of a ReplaceTogether in progress: the names of its complete temporaries.
  static constexpr const char* kPendingRecord = "replace.pending";

  // The folder is not created here: a write fails while it is missing, except Append.
  // The retry must outlive the store.
  explicit DiskFileStore(std::filesystem::path dir, const FileSync* sync = nullptr,
                         const RenameRetry& retry = SystemRenameRetry());

  const std::filesystem::path& Dir() const { return dir_; }
  // The path of the file the name means: an existing one in any case, else one a host
  // built for the system's ANSI code page named through it (Windows), else the name as
  // given.
  std::filesystem::path PathOf(std::string_view name) const;

  std::string Where() const override;
  bool Exists(std::string_view name) const override;
  std::optional<std::string> Read(std::string_view name) const override;
  std::optional<FilePrefix> ReadPrefix(std::string_view name, std::size_t limit) const override;
  std::vector<std::string> Names() const override;
  void Replace(std::string_view name, std::string_view bytes) override;
  bool TryReplace(std::string_view name, std::string_view bytes) override;
  void ReplaceTogether(const Files& files) override;
  std::vector<std::string> Recover() override;
  void Append(std::string_view name, std::string_view bytes) override;
  bool Remove(std::string_view name) override;
  std::shared_ptr<FileStore> Folder(std::string_view name) override;

 private:
  std::filesystem::path dir_;
  const FileSync* sync_;
  const RenameRetry* retry_;
};

}  // namespace ol
