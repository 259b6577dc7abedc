#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix_host_link.h"

namespace ol {
namespace {

const char* const kTitle = "无线点菜机系统-test";

TEST(SingleInstance, SecondAcquisitionIsRefusedUntilTheFirstEnds) {
  auto first = SingleInstance::Acquire(kTitle);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SingleInstance::Acquire(kTitle), nullptr);
  // Another title is another program.
  EXPECT_NE(SingleInstance::Acquire("另一个窗口"), nullptr);
  first.reset();
  EXPECT_NE(SingleInstance::Acquire(kTitle), nullptr);
}

TEST(SingleInstance, AnotherProcessIsRefusedWhileWeHoldIt) {
  auto held = SingleInstance::Acquire(kTitle);
  ASSERT_NE(held, nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh process (the inherited descriptor does not make it the holder).
    held.release();
    ::_exit(SingleInstance::Acquire(kTitle) == nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SingleInstance, TheNameIsTheTitleInUtf8) {
  EXPECT_EQ(SingleInstance::SocketName(1000, "无线点菜机系统"),
            "orderlink/1000/title/\xE6\x97\xA0\xE7\xBA\xBF\xE7\x82\xB9\xE8\x8F\x9C\xE6\x9C\xBA"
            "\xE7\xB3\xBB\xE7\xBB\x9F");
  EXPECT_THROW(SingleInstance::Acquire(std::string(120, 'x')), HostLinkError);
}

}  // namespace
}  // namespace ol
