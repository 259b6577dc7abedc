#include "core/file_store.h"

#include <cerrno>
#include <fstream>
#include <system_error>

#include "core/error_text.h"

namespace ol {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

DiskFileStore::DiskFileStore(std::filesystem::path dir, const FileSync* sync,
                             const RenameRetry& retry)
    : dir_(std::move(dir)), sync_(sync), retry_(&retry) {}

std::filesystem::path DiskFileStore::PathOf(std::string_view name) const {
  std::filesystem::path exact = dir_ / Utf8Path(name);
  std::error_code ec;
#ifdef _WIN32
  // The file system ignores case itself, but a replacement must keep the name the file
  // has, so the entry is looked up by name.
  constexpr bool kCaseBlindFiles = true;
#else
  constexpr bool kCaseBlindFiles = false;
#endif
  if (!kCaseBlindFiles && std::filesystem::exists(exact, ec)) return exact;
  // A host built for another ANSI code page than GBK's named the file through it.
  const std::optional<std::filesystem::path> ansi = AnsiHostName(name);
  const std::string ansiName = ansi ? Utf8Text(*ansi) : std::string();
  std::filesystem::path ansiMatch;
  for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string candidate = Utf8Text(it->path().filename());
    if (SameNameIgnoringCase(candidate, name)) return it->path();
    if (ansi && ansiMatch.empty() && SameNameIgnoringCase(candidate, ansiName))
      ansiMatch = it->path();
  }
  return ansiMatch.empty() ? exact : ansiMatch;
}

std::string DiskFileStore::Where() const {
  return DisplayText(dir_);
}

bool DiskFileStore::Exists(std::string_view name) const {
  std::error_code ec;
  return std::filesystem::is_regular_file(PathOf(name), ec);
}

std::optional<std::string> DiskFileStore::Read(std::string_view name) const {
  return ReadWholeFile(PathOf(name));
}

std::optional<FilePrefix> DiskFileStore::ReadPrefix(std::string_view name,
                                                    std::size_t limit) const {
  return ReadFilePrefix(PathOf(name), limit);
}

std::vector<std::string> DiskFileStore::Names() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) names.push_back(Utf8Text(it->path().filename()));
  return names;
}

void DiskFileStore::Replace(std::string_view name, std::string_view bytes) {
  WriteFileAtomic(PathOf(name), bytes, sync_, *retry_);
}

bool DiskFileStore::TryReplace(std::string_view name, std::string_view bytes) {
  const RenameRetry once{{}, retry_->pause, retry_->move};
  try {
    WriteFileAtomic(PathOf(name), bytes, sync_, once);
    return true;
  } catch (const FileHeld&) {
    return false;
  }
}

void DiskFileStore::ReplaceTogether(const Files& files) {
  std::vector<std::filesystem::path> targets;
  std::vector<std::filesystem::path> temporaries;
  try {
    for (const auto& [name, bytes] : files) {
      targets.push_back(PathOf(name));
      temporaries.push_back(WriteTemporary(targets.back(), bytes, sync_));
    }
  } catch (const FileError&) {
    std::error_code ignored;
    for (const auto& tmp : temporaries) std::filesystem::remove(tmp, ignored);
    throw;
  }
  std::string record;
  for (const auto& tmp : temporaries) record += Utf8Text(tmp.filename()) + "\r\n";
  try {
    WriteFileAtomic(dir_ / kPendingRecord, record, sync_, *retry_);
  } catch (const FileError&) {
    std::error_code ignored;
    for (const auto& tmp : temporaries) std::filesystem::remove(tmp, ignored);
    throw;
  }
  // From here on the new files are the saved state: a start after a crash completes the
  // renames from the record. A failure before the first rename takes the save back; after
  // it, the record stays for the next start to complete.
  for (std::size_t i = 0; i < targets.size(); ++i) {
    try {
      RenameDurably(temporaries[i], targets[i], sync_, *retry_);
    } catch (const FileError&) {
      if (i > 0) throw;
      std::error_code ignored;
      std::filesystem::remove(dir_ / kPendingRecord, ignored);
      for (const auto& tmp : temporaries) std::filesystem::remove(tmp, ignored);
      throw;
    }
  }
  std::error_code ec;
  std::filesystem::remove(dir_ / kPendingRecord, ec);
  if (sync_) sync_->SyncFolder(dir_);
}

std::vector<std::string> DiskFileStore::Recover() {
  std::vector<std::string> done;
  const std::filesystem::path record = dir_ / kPendingRecord;
  std::error_code ec;
  if (std::filesystem::exists(record, ec)) {
    for (const std::string& name : SplitLines(ReadWholeFile(record).value_or(""))) {
      // Only our own temporaries of files in this folder, each back to the name it came from.
      if (!IsTemporaryName(name) || name.find_first_of("/\\") != std::string::npos) continue;
      const std::filesystem::path tmp = dir_ / Utf8Path(name);
      if (!std::filesystem::is_regular_file(tmp, ec)) continue;
      const std::string target = TemporaryTarget(name);
      try {
        RenameDurably(tmp, dir_ / Utf8Path(target), sync_, *retry_);
        done.push_back("完成了上次中断的保存：" + target);
      } catch (const FileError& e) {
        done.push_back(std::string("无法完成上次中断的保存：") + e.what());
      }
    }
    std::filesystem::remove(record, ec);
  }
  std::vector<std::filesystem::path> stale;
  for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
    if (IsTemporaryName(Utf8Text(it->path().filename()))) stale.push_back(it->path());
  for (const auto& tmp : stale) {
    if (std::filesystem::remove(tmp, ec))
      done.push_back("删除了中断的写入留下的临时文件：" + Utf8Text(tmp.filename()));
  }
  return done;
}

void DiskFileStore::Append(std::string_view name, std::string_view bytes) {
  // The folder may have been removed meanwhile; a log goes on in a new one.
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  if (ec) throw FileError("cannot create folder " + Where() + ": " + ErrorText(ec));
  const std::filesystem::path path = PathOf(name);
  MakeWritable(path);
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (out) out.flush();
  if (!out)
    throw FileError("cannot write " + DisplayText(path) + ": " +
                    std::generic_category().message(errno));
}

bool DiskFileStore::Remove(std::string_view name) {
  const std::filesystem::path path = PathOf(name);
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && std::filesystem::remove(path, ec);
}

std::shared_ptr<FileStore> DiskFileStore::Folder(std::string_view name) {
  return std::make_shared<DiskFileStore>(dir_ / Utf8Path(name), sync_, *retry_);
}

}  // namespace ol
