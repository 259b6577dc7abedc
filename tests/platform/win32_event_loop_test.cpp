#include "platform/win32_event_loop.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ol {
namespace {

// Each case runs its loop on a thread of its own: a thread's message queue (and a quit
// left in it) is then the case's alone.
template <class F>
void OnOwnThread(F body) {
  std::thread thread(body);
  thread.join();
}

// Ticks recorded as "name:k" with the loop time; a tick never comes before its due time.
struct TickLog {
  Millis start = 0;
  std::vector<std::string> names;
  std::vector<std::string> early;
  void Add(EventLoop& loop, const std::string& name, Millis interval, int k) {
    names.push_back(name);
    if (loop.Now() - start < interval * k) early.push_back(name + ":" + std::to_string(k));
  }
};

TEST(Win32EventLoop, TimersFireInDueOrderAndStoppedOnesNeverAgain) {
  TickLog log;
  int messagesWhenIdle = -1;
  OnOwnThread([&] {
    Win32EventLoop loop;
    int messages = 0;
    loop.preTranslate = [&](void*) {
      ++messages;
      return false;
    };
    log.start = loop.Now();
    int a = 0, b = 0, c = 0, d = 0, e = 0;
    EventLoop::TimerId ta = 0, tb = 0, tc = 0, td = 0, te = 0;
    // Started out of due order; c and d fall due together, c was started first.
    ta = loop.StartTimer(50, [&] { log.Add(loop, "a", 50, ++a); });
    tb = loop.StartTimer(30, [&] {
      log.Add(loop, "b", 30, ++b);
      if (b == 1) loop.StopTimer(te);  // e is overdue in the same pass
      if (b < 6) return;
      loop.StopTimer(tb);
      loop.Post([&] {
        loop.StopTimer(ta);
        loop.StopTimer(td);
        messages = 0;
        loop.Delay(0, 200);
        messagesWhenIdle = messages;
        loop.Quit();
      });
    });
    tc = loop.StartTimer(40, [&] {
      log.Add(loop, "c", 40, ++c);
      loop.StopTimer(tc);
    });
    td = loop.StartTimer(40, [&] { log.Add(loop, "d", 40, ++d); });
    te = loop.StartTimer(45, [&] { log.Add(loop, "e", 45, ++e); });
    // Every timer is overdue when the loop first looks.
    Sleep(100);
    loop.Run();
  });
  ASSERT_GE(log.names.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(log.names.begin(), log.names.begin() + 4),
            (std::vector<std::string>{"b", "c", "d", "a"}));
  EXPECT_EQ(std::count(log.names.begin(), log.names.end(), "c"), 1);
  EXPECT_EQ(std::count(log.names.begin(), log.names.end(), "e"), 0);
  EXPECT_EQ(std::count(log.names.begin(), log.names.end(), "b"), 6);
  EXPECT_EQ(log.early, std::vector<std::string>{});
  // With every timer stopped no system timer is left to wake the thread.
  EXPECT_EQ(messagesWhenIdle, 0);
}

TEST(Win32EventLoop, PostedWorkRunsInOrderOnTheLoopThreadInsideNestedLoops) {
  std::vector<int> got;
  int ranOutsideNested = 0, ranOnOtherThread = 0, ticksInModal = 0;
  OnOwnThread([&] {
    Win32EventLoop loop;
    const DWORD loopThread = GetCurrentThreadId();
    bool nested = false;
    auto record = [&](int i) {
      got.push_back(i);
      if (!nested) ++ranOutsideNested;
      if (GetCurrentThreadId() != loopThread) ++ranOnOtherThread;
    };
    auto postFrom = [&](int first, bool& done) {
      return std::thread([&, first] {
        for (int i = first; i < first + 100; ++i) loop.Post([&, i] { record(i); });
        loop.Post([&] { done = true; });
      });
    };
    loop.Post([&] {
      nested = true;
      // Inside the loop's own waits, which also run the work queued before this task.
      bool done = false;
      std::thread worker = postFrom(1, done);
      for (int i = 0; !done && i < 200 && loop.Delay(0, 50); ++i) {
      }
      worker.join();
      // Inside a modal loop of the kind a message box runs.
      bool done2 = false;
      const auto timer = loop.StartTimer(10, [&] { ++ticksInModal; });
      worker = postFrom(101, done2);
      MSG msg;
      while ((!done2 || ticksInModal < 2) && ticksInModal < 1000 &&
             GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      worker.join();
      loop.StopTimer(timer);
      nested = false;
      loop.Quit();
    });
    loop.Post([&] { record(0); });
    loop.Run();
  });
  ASSERT_EQ(got.size(), 201u);
  for (int i = 0; i <= 200; ++i) ASSERT_EQ(got[i], i);
  EXPECT_EQ(ranOutsideNested, 0);
  EXPECT_EQ(ranOnOtherThread, 0);
  EXPECT_GE(ticksInModal, 2);
}

TEST(Win32EventLoop, QuitEndsRunAndEveryRunningWait) {
  int exitCode = -1, innerTicks = 0;
  bool outerMore = true, innerMore = true, laterMore = true;
  Millis waited = -1;
  OnOwnThread([&] {
    Win32EventLoop loop;
    EventLoop::TimerId timer = 0;
    timer = loop.StartTimer(20, [&] {
      if (++innerTicks == 1) {
        innerMore = loop.Delay(10, 0);
      } else {
        loop.StopTimer(timer);
        loop.Quit(7);
      }
    });
    loop.Post([&] {
      const Millis start = loop.Now();
      outerMore = loop.Delay(10, 0);
      waited = loop.Now() - start;
      laterMore = loop.Delay(10, 0);
    });
    exitCode = loop.Run();
  });
  EXPECT_EQ(exitCode, 7);
  EXPECT_FALSE(innerMore);
  EXPECT_FALSE(outerMore);
  EXPECT_FALSE(laterMore);
  EXPECT_EQ(innerTicks, 2);
  // Far less than the ten seconds either wait asked for.
  EXPECT_LT(waited, 5000);
}

// An exception from a task or a tick reaches the code that runs the loop, never the
// system's frames in between (which a 32-bit build cannot unwind), and the loop serves on.
TEST(Win32EventLoop, AnExceptionFromATaskOrTickReachesWhoeverRunsTheLoop) {
  std::string fromRun, fromDelay;
  bool servedOn = false;
  OnOwnThread([&] {
    Win32EventLoop loop;
    loop.Post([] { throw std::runtime_error("task"); });
    try {
      loop.Run();
    } catch (const std::runtime_error& e) {
      fromRun = e.what();
    }
    EventLoop::TimerId timer = 0;
    timer = loop.StartTimer(10, [&] {
      loop.StopTimer(timer);
      throw std::runtime_error("tick");
    });
    try {
      loop.Delay(5, 0);
    } catch (const std::runtime_error& e) {
      fromDelay = e.what();
    }
    loop.Post([&] {
      servedOn = true;
      loop.Quit();
    });
    loop.Run();
  });
  EXPECT_EQ(fromRun, "task");
  EXPECT_EQ(fromDelay, "tick");
  EXPECT_TRUE(servedOn);
}

TEST(Win32EventLoop, IdleRunTakesOnlyTheMessageThatWakesIt) {
  int messages = -1;
  OnOwnThread([&] {
    Win32EventLoop loop;
    messages = 0;
    loop.preTranslate = [&](void*) {
      ++messages;
      return false;
    };
    std::thread waker([&] {
      Sleep(200);
      loop.Post([&] { loop.Quit(); });
    });
    loop.Run();
    waker.join();
  });
  EXPECT_EQ(messages, 1);
}

}  // namespace
}  // namespace ol
