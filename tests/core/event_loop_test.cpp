#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <random>
#include <thread>
#include <vector>

#include "core/manual_loop.h"
#include "core/real_loop.h"
#include "core/timer.h"
#include "core/timer_queue.h"

namespace ol {
namespace {

TEST(ManualLoop, TimerBoundaryAndPeriod) {
  ManualLoop loop;
  Timer t(loop, 300);
  int ticks = 0;
  t.OnTimer = [&] { ++ticks; };
  t.SetEnabled(true);
  loop.Advance(299);
  EXPECT_EQ(ticks, 0);  // one ms short of the interval
  loop.Advance(1);
  EXPECT_EQ(ticks, 1);
  loop.Advance(600);
  EXPECT_EQ(ticks, 3);
}

TEST(Timer, EnableOnRunningTimerDoesNotRestart) {
  ManualLoop loop;
  Timer t(loop, 100);
  std::vector<Millis> at;
  t.OnTimer = [&] { at.push_back(loop.Now()); };
  t.SetEnabled(true);
  loop.Advance(60);
  t.SetEnabled(true);  // no restart
  loop.Advance(40);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(at[0], 100);
  // Disable and enable restarts the interval.
  loop.Advance(50);
  t.SetEnabled(false);
  t.SetEnabled(true);
  loop.Advance(99);
  EXPECT_EQ(at.size(), 1u);
  loop.Advance(1);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_EQ(at[1], 250);
}

TEST(Timer, NewIntervalRestartsAndZeroNeverTicks) {
  ManualLoop loop;
  Timer t(loop, 100);
  int ticks = 0;
  t.OnTimer = [&] { ++ticks; };
  t.SetEnabled(true);
  loop.Advance(90);
  t.SetInterval(50);  // restarts from now
  loop.Advance(49);
  EXPECT_EQ(ticks, 0);
  loop.Advance(1);
  EXPECT_EQ(ticks, 1);
  t.SetInterval(100);
  t.SetInterval(100);  // same value: no restart
  loop.Advance(100);
  EXPECT_EQ(ticks, 2);
  t.SetInterval(0);
  EXPECT_FALSE(t.Running());
  loop.Advance(1000);
  EXPECT_EQ(ticks, 2);
}

TEST(ManualLoop, NestedDelayRunsDueWorkAndOuterAdvanceContinues) {
  ManualLoop loop;
  Timer outer(loop, 100), other(loop, 30);
  std::vector<std::string> log;
  int outerTicks = 0;
  outer.OnTimer = [&] {
    ++outerTicks;
    log.push_back("outer@" + std::to_string(loop.Now()));
    if (outerTicks == 1) {
      loop.Delay(0, 250);  // the same timer falls due again inside the wait
      log.push_back("back@" + std::to_string(loop.Now()));
    }
  };
  other.OnTimer = [&] {
    if (loop.Now() <= 200) log.push_back("other@" + std::to_string(loop.Now()));
  };
  outer.SetEnabled(true);
  other.SetEnabled(true);
  loop.Advance(150);
  // The nested wait reached 350, beyond the outer target; time never goes back.
  EXPECT_EQ(loop.Now(), 350);
  std::vector<std::string> expected = {"other@30",  "other@60",  "other@90",  "outer@100",
                                       "other@120", "other@150", "other@180", "outer@200",
                                       "outer@300", "back@350"};
  EXPECT_EQ(log, expected);
}

TEST(ManualLoop, PostedWorkRunsInOrderFromAnyThread) {
  ManualLoop loop;
  std::vector<int> got;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) loop.Post([&got, i] { got.push_back(i); });
  });
  worker.join();
  loop.RunPending();
  ASSERT_EQ(got.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i], i);
}

TEST(ManualLoop, StoppingATimerInsideItsTickIsSafe) {
  ManualLoop loop;
  Timer t(loop, 10);
  int ticks = 0;
  t.OnTimer = [&] {
    ++ticks;
    t.SetEnabled(false);
  };
  t.SetEnabled(true);
  loop.Advance(100);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(loop.ActiveTimers(), 0u);
}

// Timers started, stopped and taken at random (some to tick once), against a plain list
// searched in full: the same timer falls due next every time, ids of stopped timers never
// come back, and a stopped timer lets go of its function.
TEST(TimerQueue, FallsDueInTheOrderOfAFullSearch) {
  struct Plain {
    Millis interval, due;
    std::uint64_t order;
    bool once;
  };
  std::mt19937 random(7);
  TimerQueue queue;
  const auto alive = std::make_shared<int>(0);  // held by every tick function
  std::map<TimerQueue::Id, Plain> plain;
  std::vector<TimerQueue::Id> stopped;
  std::uint64_t order = 0;
  Millis now = 0;
  for (int step = 0; step < 20000; ++step) {
    const int op = static_cast<int>(random() % 10);
    if (op < 3 || plain.empty()) {
      const Millis interval = static_cast<Millis>(random() % 8 ? random() % 50 : random() % 5000);
      const bool once = random() % 4 == 0;
      const TimerQueue::Id id = queue.Add(
          now, interval, [alive] {}, once);
      ASSERT_EQ(plain.count(id), 0u);
      plain[id] = {std::max<Millis>(1, interval), now + std::max<Millis>(1, interval), order++,
                   once};
    } else if (op < 6) {
      auto it = std::next(plain.begin(), static_cast<long>(random() % plain.size()));
      stopped.push_back(it->first);
      queue.Remove(it->first);
      plain.erase(it);
    } else {
      auto expected = plain.begin();
      for (auto it = plain.begin(); it != plain.end(); ++it)
        if (std::tie(it->second.due, it->second.order) <
            std::tie(expected->second.due, expected->second.order))
          expected = it;
      const auto next = queue.Next();
      ASSERT_TRUE(next);
      ASSERT_EQ(next->id, expected->first) << "step " << step;
      ASSERT_EQ(next->at, expected->second.due);
      now = std::max(now, next->at) + static_cast<Millis>(random() % 3);
      EXPECT_TRUE(queue.TakeDue(*next, now));
      Plain& p = expected->second;
      if (p.once) {
        stopped.push_back(expected->first);
        plain.erase(expected);
      } else {
        p.due = std::max(next->at + p.interval, now + 1);
        p.order = order++;
      }
    }
    ASSERT_EQ(queue.Size(), plain.size());
    EXPECT_EQ(queue.Next().has_value(), !plain.empty());
  }
  for (TimerQueue::Id id : stopped) {
    EXPECT_EQ(plain.count(id), 0u);
    queue.Remove(id);  // a stale id stops nothing
  }
  EXPECT_EQ(queue.Size(), plain.size());
  // A stopped timer's function is gone with it.
  EXPECT_EQ(alive.use_count(), static_cast<long>(1 + plain.size()));
}

TEST(RealLoop, DelayRunsPostedWorkAndEndsOnTime) {
  RealLoop loop;
  bool ran = false;
  std::thread worker([&] { loop.Post([&] { ran = true; }); });
  Millis start = loop.Now();
  loop.Delay(0, 50);
  worker.join();
  loop.RunFor(1);
  EXPECT_TRUE(ran);
  EXPECT_GE(loop.Now() - start, 50);
  EXPECT_LT(loop.Now() - start, 5000);  // a loaded machine may be late, never this late
}

TEST(RealLoop, TimerTicksAndQuitEndsRun) {
  RealLoop loop;
  Timer t(loop, 10);
  int ticks = 0;
  t.OnTimer = [&] {
    if (++ticks == 3) loop.Quit();
  };
  t.SetEnabled(true);
  loop.Run();
  EXPECT_EQ(ticks, 3);
}

// On Windows the wall clock is read from the system's file time: the same era and units
// as the runtime's clock.
TEST(RealLoop, WallClockIsTheSystemTime) {
  using namespace std::chrono;
  RealLoop loop;
  const auto before = system_clock::now();
  const auto wall = loop.WallClock();
  const auto after = system_clock::now();
  // Windows 7's reading moves with the system tick, 15.6 ms.
  EXPECT_GE(wall, before - 50ms);
  EXPECT_LE(wall, after + 50ms);
}

// The system's local time, past the end of a 32-bit time_t too: whatever the zone, the
// same instant moved by whole quarter hours, at most 14 hours.
TEST(RealLoop, LocalTimeOfIsTheInstantInTheLocalZone) {
  using namespace std::chrono;
  RealLoop loop;
  const sys_seconds cases[] = {
      sys_days{2026y / December / 9} + 12h + 34min + 56s,
      sys_days{2038y / January / 19} + 3h + 14min + 7s,  // the last second of 32 bits
      sys_days{2038y / January / 19} + 3h + 14min + 8s,
      sys_days{2040y / February / 29} + 23h + 59min + 59s,
      sys_days{2099y / December / 31} + 1s,
  };
  for (const sys_seconds utc : cases) {
    const LocalDateTime local = loop.LocalTimeOf(utc);
    SCOPED_TRACE(testing::Message() << utc.time_since_epoch().count() << " s shows as "
                                    << local.year << "-" << local.month << "-" << local.day << " "
                                    << local.hour << ":" << local.minute << ":" << local.second);
    ASSERT_TRUE((year{local.year} / local.month / local.day).ok());
    const auto offset = ManualLoop::At(local) - utc;
    EXPECT_LE(abs(offset), 14h);
    EXPECT_EQ(offset % 15min, 0s);
  }
}

// CPU time of the calling thread, in milliseconds.
Millis ThreadCpuMillis() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return Millis{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

TEST(RealLoop, IdleRunWithNoTimerSleepsUntilQuit) {
  RealLoop loop;
  std::thread quitter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    loop.Quit();
  });
  const Millis cpuBefore = ThreadCpuMillis();
  loop.Run();
  const Millis cpu = ThreadCpuMillis() - cpuBefore;
  quitter.join();
  // A spinning loop burns most of the 300 ms; a sleeping one next to nothing.
  EXPECT_LT(cpu, 60);
  // A wait far beyond any timer still ends when asked to by its own work.
  bool ran = false;
  loop.Post([&] { ran = true; });
  EXPECT_TRUE(loop.RunUntil([&] { return ran; }, std::numeric_limits<Millis>::max()));
}

}  // namespace
}  // namespace ol
