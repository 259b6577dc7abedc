// Once the end of the session is confirmed, Windows may end the process as soon as the
// message returns: what the program's end leaves behind must be done by then, and a disk
// that hangs must not hold the end up for ever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/gateway.h"
#include "core/manual_loop.h"
#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/memory_file_store.h"
#include "testing/recording_message_box.h"

namespace ol::testing {
namespace {

using namespace std::chrono_literals;

struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  std::atomic<bool> passed{false};  // a write went through
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    opened.notify_all();
  }
};

TEST(SessionEnd, PortsClosedAndJournalWrittenBeforeItReturns) {
  for (const bool diskHangs : {false, true}) {
    ManualLoop loop;
    InMemoryHostHub hub;
    InMemoryHostLink link{hub, loop, 200};
    RecordingMessageBox boxes;
    auto txt = std::make_shared<MemoryFileStore>();
    txt->Write("JZ.txt", "01 05 ttyS0\r\n02 07 ttyS1\r\n");
    // The journal's writes wait at the gate: the journal's thread is busy with the disk.
    Gate gate;
    txt->MemoryFolder("journal")->SetWriteFault([&gate](const std::string&) {
      std::unique_lock lock(gate.mutex);
      gate.opened.wait(lock, [&gate] { return gate.open; });
      gate.passed = true;
      return false;
    });
    FakePort* ports[6] = {};
    GatewayWorld world{loop,
                       link,
                       boxes,
                       [&](int n) {
                         auto port = std::make_unique<FakePort>(&loop, n);
                         ports[n] = port.get();
                         return port;
                       },
                       {},
                       [] {
                         return std::vector<std::string>{"ttyS0", "ttyS1"};
                       }};
    world.txtStore = txt;
    auto gateway = std::make_unique<Gateway>(std::move(world));
    gateway->FormCreate();
    ports[5]->OpenPort();  // as the channel setting holds it
    ASSERT_TRUE(ports[1]->IsOpen());
    gateway->GetMonitor().GetJournal().Append("2026-12-08", "19:40:01.123  基站01  手持确认");
    // The disk answers after a while, or not at all.
    std::thread disk([&gate, diskHangs] {
      if (diskHangs) return;
      std::this_thread::sleep_for(50ms);
      gate.Open();
    });
    // Returning at all is what a hanging disk asks of it.
    EXPECT_TRUE(gateway->SessionEnds(diskHangs ? 100ms : 10s));
    for (int n : {1, 2, 5}) EXPECT_FALSE(ports[n]->IsOpen()) << n;
    // Read while the store is not locked by a write that waits at the gate.
    EXPECT_EQ(gate.passed, !diskHangs);
    disk.join();
    gate.Open();
    gateway.reset();
    EXPECT_TRUE(txt->MemoryFolder("journal")->Read("2026-12-08.txt").has_value());
  }
}

}  // namespace
}  // namespace ol::testing
