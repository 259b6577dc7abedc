#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

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

// A start that finds the name taken watches its holder: a gateway that is still starting
// has no window for a moment and must not be reported, one that cannot end must be.
TEST(ProgramStart, HolderOfTheNameWatched) {
  using Look = SingleInstance::HolderLook;
  const Look none{false, false, false}, noWindow{true, false, false}, hung{true, true, false},
      serving{true, true, true};
  const struct {
    const char* what;
    std::vector<Look> looks;  // the last repeats
    Holder holder;
    int pauses;
  } cases[] = {
      {"serving at once", {serving}, Holder::Serving, 0},
      {"still starting, then serving", {noWindow, noWindow, hung, serving}, Holder::Serving, 3},
      {"ended meanwhile", {noWindow, none}, Holder::Gone, 1},
      {"name kept, window gone", {noWindow}, Holder::Ending, 9},
      {"hung, then its window gone", {hung, hung, noWindow}, Holder::Ending, 9},
      {"window never answers", {hung}, Holder::NotAnswering, 9},
  };
  for (const auto& c : cases) {
    std::size_t next = 0;
    int pauses = 0;
    const Holder holder = WatchHolder([&] { return c.looks[std::min(next++, c.looks.size() - 1)]; },
                                      [&] { ++pauses; }, 10);
    EXPECT_EQ(holder, c.holder) << c.what;
    EXPECT_EQ(pauses, c.pauses) << c.what;
  }
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
