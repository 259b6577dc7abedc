#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/file_store.h"

namespace ol::testing {

// A folder held in memory, with the disk folder's rules for names (ASCII case ignored, an
// existing file keeps its name), for runs that would spend their time on the disk. A test
// can make any write fail at any moment; a failed write changes nothing. Safe to use from
// several threads (the journal's writer).
class MemoryFileStore : public FileStore {
 public:
  explicit MemoryFileStore(std::string where = "memory:TXT");

  // The other program's side (the host): plain writes that never fail.
  void Write(std::string_view name, std::string_view bytes);
  // Read and Remove are the FileStore's own.

  // Writes (Replace, ReplaceTogether, Append) of that file, in any case, throw FileError
  // until called again with false.
  void FailWrites(std::string_view name, bool fail = true);
  // Every write throws FileError until called again with false.
  void FailAllWrites(bool fail = true);
  // Reads of that file find it but cannot read it (another program holds it exclusively)
  // until called again with false.
  void FailReads(std::string_view name, bool fail = true);
  // Asked before each write with the file's name; true fails it. Called with the store
  // locked: it must not use the store.
  void SetWriteFault(std::function<bool(const std::string& name)> fault);
  // The folder of that name inside this one, to reach its files and failures.
  std::shared_ptr<MemoryFileStore> MemoryFolder(std::string_view name);

  std::string Where() const override;
  bool Exists(std::string_view name) const override;
  std::optional<std::string> Read(std::string_view name) const override;
  std::optional<FilePrefix> ReadPrefix(std::string_view name, std::size_t limit) const override;
  std::vector<std::string> Names() const override;
  void Replace(std::string_view name, std::string_view bytes) override;
  void ReplaceTogether(const Files& files) override;
  // Nothing is ever left half written here.
  std::vector<std::string> Recover() override;
  void Append(std::string_view name, std::string_view bytes) override;
  bool Remove(std::string_view name) override;
  std::shared_ptr<FileStore> Folder(std::string_view name) override;

  // Names folded to one case (ASCII): the key of a file and of a failure.
  static std::string Key(std::string_view name);

 private:
  struct File {
    std::string name;  // as first created
    std::string bytes;
    std::int64_t written = 0;  // the store's count of writes at its last one
  };
  // Throws the FileError of a failed write when the name's writes are made to fail.
  void CheckWrite(std::string_view name) const;
  void Put(std::string_view name, std::string_view bytes);

  const std::string where_;
  mutable std::mutex mutex_;
  std::map<std::string, File> files_;
  std::int64_t writes_ = 0;
  std::map<std::string, std::shared_ptr<MemoryFileStore>> folders_;
  std::set<std::string> failing_;
  std::set<std::string> unreadable_;
  bool failAll_ = false;
  std::function<bool(const std::string&)> fault_;
};

}  // namespace ol::testing
