#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/temp_dir.h"

namespace ol {
namespace {

namespace fs = std::filesystem;

class FakeSysfs {
 public:
  // A tty with a device behind it; type is written when given.
  void Tty(const std::string& name, bool device, const char* type = nullptr) {
    fs::path dir = dir_.Path() / "devices" / name;
    fs::create_directories(dir);
    if (device) {
      fs::create_directories(dir_.Path() / "devices" / "hw" / name);
      fs::create_directory_symlink(dir_.Path() / "devices" / "hw" / name, dir / "device");
    }
    if (type != nullptr) testing::WriteBytes(dir / "type", type);
    fs::create_directories(dir_.Path() / "class" / "tty");
    fs::create_directory_symlink(dir, dir_.Path() / "class" / "tty" / name);
  }
  const fs::path& Root() const { return dir_.Path(); }

 private:
  testing::TempDir dir_;
};

TEST(ListSerialPorts, KeepsRealSerialDevicesInNaturalOrder) {
  FakeSysfs sys;
  sys.Tty("tty0", false);
  sys.Tty("console", false);
  sys.Tty("ptmx", false);
  sys.Tty("ttyS10", true, "4\n");
  sys.Tty("ttyS2", true, "4\n");
  sys.Tty("ttyS0", true, "4\n");
  sys.Tty("ttyS1", true, "0\n");  // a slot without a UART
  sys.Tty("ttyS3", true, "0\n");
  sys.Tty("ttyUSB0", true);  // no type attribute: not a UART slot
  sys.Tty("ttyACM1", true);
  sys.Tty("ttyAMA0", true, "83\n");
  EXPECT_EQ(ListSerialPorts(sys.Root()), (std::vector<std::string>{"ttyACM1", "ttyAMA0", "ttyS0",
                                                                   "ttyS2", "ttyS10", "ttyUSB0"}));
}

TEST(ListSerialPorts, MissingTreeGivesAnEmptyList) {
  testing::TempDir empty;
  EXPECT_TRUE(ListSerialPorts(empty.Path()).empty());
  EXPECT_TRUE(ListSerialPorts(empty.Path() / "nowhere").empty());
}

TEST(NaturalLess, ComparesDigitRunsByValue) {
  EXPECT_TRUE(NaturalLess("ttyS2", "ttyS10"));
  EXPECT_FALSE(NaturalLess("ttyS10", "ttyS2"));
  EXPECT_TRUE(NaturalLess("ttyS9", "ttyUSB0"));
  EXPECT_TRUE(NaturalLess("ttyS1", "ttyS1a"));
  EXPECT_FALSE(NaturalLess("ttyS1", "ttyS1"));
  EXPECT_TRUE(NaturalLess("ttyS1", "ttyS01"));  // equal values: a total order all the same
  EXPECT_FALSE(NaturalLess("ttyS01", "ttyS1"));
  EXPECT_TRUE(NaturalLess("a99999999999999999999", "a100000000000000000000"));
}

TEST(SystemDateTimeText, PreferredDateAndTimeOfTheLocale) {
  EXPECT_EQ(SystemDateTimeText({2026, 12, 31, 23, 59, 59}, "C"), "12/31/26 23:59:59");
  EXPECT_EQ(SystemDateTimeText({2000, 1, 2, 3, 4, 5}, "C.UTF-8"), "01/02/00 03:04:05");
  // A locale that is not installed gives the formats of "C".
  EXPECT_EQ(SystemDateTimeText({2027, 1, 1, 0, 0, 0}, "xx_NOWHERE.UTF-8"), "01/01/27 00:00:00");
}

TEST(ProgramFolder, IsTheFolderOfThisTestProgram) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(folder.front(), '/');
  EXPECT_TRUE(fs::is_regular_file(fs::path(folder) / "platform_tests"));
}

}  // namespace
}  // namespace ol
