#include <gtest/gtest.h>

#include <filesystem>

#include "app/program_start.h"
#include "core/text_file.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

TEST(ProgramStart, HostHandleAsTheHostPrintsIt) {
  const struct {
    const char* text;
    std::optional<WindowHandle> handle;
  } cases[] = {
      {"1", 1u},
      {"4294967295", 0xFFFFFFFFu},
      {"-1", 0xFFFFFFFFu},  // an int holding 0xFFFFFFFF
      {"-2147483648", 0x80000000u},
      {"-123456", 0xFFFE1DC0u},
      {"0", std::nullopt},
      {"-0", std::nullopt},
      {"4294967296", std::nullopt},
      {"-2147483649", std::nullopt},
      {"--5", std::nullopt},
      {"+5", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"12a", std::nullopt},
      {"00000000001", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHostHandle(c.text), c.handle) << c.text;
}

TEST(ProgramStart, VirtualStoreTwinAndStartFailuresKeptInTheFolder) {
  EXPECT_EQ(
      VirtualStoreTwin(R"(C:\Users\till\AppData\Local)", R"(C:\Program Files (x86)\Host\TXT)"),
      std::optional<std::string>(
          R"(C:\Users\till\AppData\Local\VirtualStore\Program Files (x86)\Host\TXT)"));
  EXPECT_EQ(VirtualStoreTwin(R"(C:\Local\)", R"(d:\POS\TXT)"),
            std::optional<std::string>(R"(C:\Local\VirtualStore\POS\TXT)"));
  EXPECT_EQ(VirtualStoreTwin(R"(C:\Local)", R"(\\server\pos\TXT)"), std::nullopt);
  EXPECT_EQ(VirtualStoreTwin("", R"(C:\POS\TXT)"), std::nullopt);

  TempDir dir;
  const std::filesystem::path txt = dir.Path() / "TXT";
  EXPECT_EQ(CannotWrite(txt), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_empty(txt));  // the check leaves nothing behind
  ASSERT_TRUE(RecordStartFailure(txt, "参数不对"));
  ASSERT_TRUE(RecordStartFailure(txt, "again"));
  const auto lines = SplitLines(*ReadWholeFile(txt / kStartFailures));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with("  \xB2\xCE\xCA\xFD\xB2\xBB\xB6\xD4")) << lines[0];  // GBK
  // A folder where a file stands cannot be written into.
  WriteBytes(dir.Path() / "file", "x");
  EXPECT_NE(CannotWrite(dir.Path() / "file"), std::nullopt);
  EXPECT_FALSE(RecordStartFailure(dir.Path() / "file", "lost"));
}

}  // namespace
}  // namespace ol::testing
