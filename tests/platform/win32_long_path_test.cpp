// Paths past 260 characters: the long form every path under TXT is built from, and the
// store's whole round trip through it. (Wine has no 260-character limit of its own; what
// this shows is that the long form breaks nothing the store does.)
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/file_store.h"
#include "platform/system_info.h"

namespace ol {
namespace {

TEST(LongPathForm, DrivesAndSharesGetTheirPrefixOthersStayAsTheyAre) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  };
  for (const Case& c : {
           Case{L"C:\\点菜系统\\TXT", L"\\\\?\\C:\\点菜系统\\TXT"},
           Case{L"C:/a/b", L"\\\\?\\C:\\a\\b"},  // the prefix turns off '/' conversion
           Case{L"\\\\server\\share\\TXT", L"\\\\?\\UNC\\server\\share\\TXT"},
           Case{L"\\\\?\\C:\\TXT", L"\\\\?\\C:\\TXT"}, Case{L"\\\\.\\COM1", L"\\\\.\\COM1"},
           Case{L"TXT", L"TXT"},
           Case{L"C:TXT", L"C:TXT"},  // relative to the drive's current folder
       })
    EXPECT_EQ(LongPathForm(c.in).wstring(), c.out) << std::filesystem::path(c.in).string();
}

TEST(LongPathForm, TheStoreWorksOnFilesPastTwoHundredSixtyCharacters) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::filesystem::path base = std::filesystem::path(temp) / L"orderlink-长路径";
  std::filesystem::path folder = base;
  while (folder.wstring().size() < 200) folder /= std::wstring(40, L'd');
  std::filesystem::create_directories(folder);
  const std::filesystem::path txt = LongPathForm(folder);
  DiskFileStore store(txt);
  const std::string name = std::string(90, 'n') + ".txt";
  ASSERT_GT(store.PathOf(name).wstring().size(), 300u);
  store.Replace(name, "第一");
  store.Replace(name, "第二");
  store.Append(name, "+");
  EXPECT_EQ(store.Read(name), std::optional<std::string>("第二+"));
  EXPECT_EQ(store.Names(), std::vector<std::string>{name});
  auto journal = store.Folder(std::string(100, 'j'));
  journal->Append(name, "x");  // an append makes its folder
  EXPECT_EQ(journal->Read(name), std::optional<std::string>("x"));
  EXPECT_TRUE(journal->Remove(name));
  EXPECT_TRUE(store.Remove(name));
  std::error_code ec;
  std::filesystem::remove_all(LongPathForm(base), ec);
}

}  // namespace
}  // namespace ol
