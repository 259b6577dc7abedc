#include "testing/memory_file_store.h"

#include <algorithm>

namespace ol::testing {

MemoryFileStore::MemoryFileStore(std::string where) : where_(std::move(where)) {}

std::string MemoryFileStore::Key(std::string_view name) {
  std::string key(name);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

void MemoryFileStore::CheckWrite(std::string_view name) const {
  if (failAll_ || failing_.contains(Key(name)) || (fault_ && fault_(std::string(name))))
    throw FileError("cannot write " + where_ + "/" + std::string(name) + ": the test made it fail");
}

void MemoryFileStore::Put(std::string_view name, std::string_view bytes) {
  File& file = files_.try_emplace(Key(name), File{std::string(name), {}}).first->second;
  file.bytes.assign(bytes);
  file.written = ++writes_;
}

void MemoryFileStore::Write(std::string_view name, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  Put(name, bytes);
}

void MemoryFileStore::FailWrites(std::string_view name, bool fail) {
  std::lock_guard lock(mutex_);
  if (fail)
    failing_.insert(Key(name));
  else
    failing_.erase(Key(name));
}

void MemoryFileStore::FailAllWrites(bool fail) {
  std::lock_guard lock(mutex_);
  failAll_ = fail;
}

void MemoryFileStore::SetWriteFault(std::function<bool(const std::string& name)> fault) {
  std::lock_guard lock(mutex_);
  fault_ = std::move(fault);
}

std::shared_ptr<MemoryFileStore> MemoryFileStore::MemoryFolder(std::string_view name) {
  std::lock_guard lock(mutex_);
  auto& folder = folders_[std::string(name)];
  if (!folder) folder = std::make_shared<MemoryFileStore>(where_ + "/" + std::string(name));
  return folder;
}

std::string MemoryFileStore::Where() const {
  return where_;
}

bool MemoryFileStore::Exists(std::string_view name) const {
  std::lock_guard lock(mutex_);
  return files_.contains(Key(name));
}

void MemoryFileStore::FailReads(std::string_view name, bool fail) {
  std::lock_guard lock(mutex_);
  if (fail)
    unreadable_.insert(Key(name));
  else
    unreadable_.erase(Key(name));
}

std::optional<std::string> MemoryFileStore::Read(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(Key(name));
  if (it == files_.end() || unreadable_.contains(Key(name))) return std::nullopt;
  return it->second.bytes;
}

std::optional<FilePrefix> MemoryFileStore::ReadPrefix(std::string_view name,
                                                      std::size_t limit) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(Key(name));
  if (it == files_.end() || unreadable_.contains(Key(name))) return std::nullopt;
  const std::string& bytes = it->second.bytes;
  return FilePrefix{bytes.substr(0, limit), bytes.size(), it->second.written};
}

std::vector<std::string> MemoryFileStore::Names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [key, file] : files_) names.push_back(file.name);
  return names;
}

void MemoryFileStore::Replace(std::string_view name, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  CheckWrite(name);
  Put(name, bytes);
}

void MemoryFileStore::ReplaceTogether(const Files& files) {
  std::lock_guard lock(mutex_);
  for (const auto& [name, bytes] : files) CheckWrite(name);
  for (const auto& [name, bytes] : files) Put(name, bytes);
}

std::vector<std::string> MemoryFileStore::Recover() {
  return {};
}

void MemoryFileStore::Append(std::string_view name, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  CheckWrite(name);
  File& file = files_.try_emplace(Key(name), File{std::string(name), {}}).first->second;
  file.bytes.append(bytes);
  file.written = ++writes_;
}

bool MemoryFileStore::Remove(std::string_view name) {
  std::lock_guard lock(mutex_);
  return files_.erase(Key(name)) > 0;
}

std::shared_ptr<FileStore> MemoryFileStore::Folder(std::string_view name) {
  return MemoryFolder(name);
}

}  // namespace ol::testing
