// Error texts for the operator in UTF-8: the system's wide messages, and the paths of a
// file system error, which the C++ runtime's own text carries in the ANSI code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/error_text.h"

namespace ol {
namespace {

bool ValidUtf8(const std::string& s) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()),
                             nullptr, 0) > 0;
}

TEST(ErrorText, SystemErrorsAndTheirPathsReadAsUtf8) {
  const std::string denied =
      ErrorText(std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  EXPECT_TRUE(ValidUtf8(denied)) << denied;
  EXPECT_NE(denied.find("(5)"), std::string::npos) << denied;
  EXPECT_GT(denied.size(), 4u);  // the system's words, not the number alone

  const std::filesystem::path missing = L"C:\\不存在的文件夹\\点菜.txt";
  try {
    (void)std::filesystem::file_size(missing);
    FAIL() << "no error for a missing file";
  } catch (const std::filesystem::filesystem_error& e) {
    const std::string text = ErrorText(e);
    EXPECT_TRUE(ValidUtf8(text)) << text;
    EXPECT_NE(text.find("不存在的文件夹\\点菜.txt"), std::string::npos) << text;
  }
  EXPECT_EQ(ErrorText(std::runtime_error("其他")), "其他");
}

}  // namespace
}  // namespace ol
