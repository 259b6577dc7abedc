// One gateway per machine: what Acquire tells apart. Wine has one session, so another
// session's instance is played by holding the machine's name alone, as such an instance
// does when seen from here (its session's name lives in its own session).
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/single_instance.h"
#include "platform/win32_text.h"

namespace ol {
namespace {

const char* const kTitle = "无线点菜机系统-test";

TEST(Win32SingleInstance, AnInstanceOfAnotherSessionIsToldApartFromOneOfThisSession) {
  EXPECT_EQ(SingleInstance::MachineName(kTitle).rfind("Global\\", 0), 0u);
  bool otherSession = true;
  auto first = SingleInstance::Acquire(kTitle, &otherSession);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(otherSession);
  // This session's: the second start ends quietly, as the host expects.
  EXPECT_EQ(SingleInstance::Acquire(kTitle, &otherSession), nullptr);
  EXPECT_FALSE(otherSession);
  first.reset();

  HANDLE machine = CreateMutexW(nullptr, FALSE, Widen(SingleInstance::MachineName(kTitle)).c_str());
  ASSERT_NE(machine, nullptr);
  EXPECT_EQ(SingleInstance::Acquire(kTitle, &otherSession), nullptr);
  EXPECT_TRUE(otherSession);
  // Refused, it holds nothing: the session's name is free again.
  CloseHandle(machine);
  auto again = SingleInstance::Acquire(kTitle, &otherSession);
  EXPECT_NE(again, nullptr);
  EXPECT_FALSE(otherSession);
}

}  // namespace
}  // namespace ol
