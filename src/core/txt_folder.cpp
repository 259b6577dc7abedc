#include "core/txt_folder.h"

#include <stdexcept>

#include "core/error_text.h"

namespace ol {

TxtFolder::TxtFolder(std::filesystem::path dir, const FileSync* sync) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir))
    throw FileError("cannot create folder " + DisplayText(dir) + ": " + ErrorText(ec));
  auto disk = std::make_shared<DiskFileStore>(std::move(dir), sync);
  disk_ = disk.get();
  dir_ = disk->Dir();
  store_ = std::move(disk);
}

TxtFolder::TxtFolder(std::shared_ptr<FileStore> store) : store_(std::move(store)) {
  disk_ = dynamic_cast<const DiskFileStore*>(store_.get());
  if (disk_) dir_ = disk_->Dir();
}

std::filesystem::path TxtFolder::PathOf(std::string_view name) const {
  if (!disk_) throw std::logic_error("the folder " + store_->Where() + " is not on the disk");
  return disk_->PathOf(name);
}

bool TxtFolder::Exists(std::string_view name) const {
  return store_->Exists(name);
}

std::optional<std::string> TxtFolder::Read(std::string_view name) const {
  return store_->Read(name);
}

std::optional<std::vector<std::string>> TxtFolder::ReadLines(std::string_view name) const {
  auto data = Read(name);
  if (!data) return std::nullopt;
  return SplitLines(*data);
}

std::optional<FilePrefix> TxtFolder::ReadPrefix(std::string_view name, std::size_t limit) const {
  return store_->ReadPrefix(name, limit);
}

void TxtFolder::Write(std::string_view name, std::string_view bytes) const {
  store_->Replace(name, bytes);
}

void TxtFolder::WriteLines(std::string_view name, const std::vector<std::string>& lines) const {
  Write(name, JoinCrLf(lines));
}

bool TxtFolder::TryWriteLines(std::string_view name, const std::vector<std::string>& lines) const {
  return store_->TryReplace(name, JoinCrLf(lines));
}

void TxtFolder::WriteTogether(const std::vector<std::pair<std::string, std::string>>& files) const {
  store_->ReplaceTogether(files);
}

std::vector<std::string> TxtFolder::Recover() const {
  return store_->Recover();
}

}  // namespace ol
