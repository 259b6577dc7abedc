// TComm over a scripted back-end: what it asks of the device and how line events,
// failures and partial writes come back as events. (Pseudo-terminals have no modem
// lines or line errors, so these paths are driven from a script.)

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/real_loop.h"
#include "serial/flight_recorder.h"
#include "serial/tcomm.h"

namespace ol {
namespace {

// What the scripted device saw and what it will answer; shared with the test.
struct Script {
  std::mutex m;
  std::condition_variable cv;
  std::string log;  // T = timeouts set, S = state set, P = purge
  std::vector<DeviceControlBlock> states;
  std::vector<CommTimeouts> timeouts;
  std::deque<SerialDevice::Input> inputs;
  std::deque<std::string> chunks;  // bytes for inputs with a count
  std::uint32_t errorFlags = 0;
  std::string written;
  std::optional<std::size_t> tryWriteTakes;  // what a write without blocking takes at most
  bool failWrite = false;
  bool failCloseEvent = false;
  bool closed = false;
  bool wake = false;
  bool hangNext = false;    // the next device's read never completes its cancel...
  bool release = false;     // ...until this, when it brings a late chunk
  int hungPurges = 0;       // the hung device's last touch of the script
  bool holdCancel = false;  // EndInput waits for cancelEnds...
  bool cancelWaiting = false;
  bool cancelEnds = false;
  bool cancelHeld = false;  // ...and then the device is held

  void Push(SerialDevice::Input in, std::string bytes = {}) {
    std::lock_guard lock(m);
    inputs.push_back(in);
    if (!bytes.empty()) chunks.push_back(std::move(bytes));
    cv.notify_all();
  }
  std::string Written() {
    std::lock_guard lock(m);
    return written;
  }
};

class ScriptedDevice : public SerialDevice {
 public:
  explicit ScriptedDevice(Script& s) : s_(s), hangs_(s.hangNext) {}

  bool GetCommState(DeviceControlBlock& dcb) override {
    dcb = DeviceControlBlock{};
    dcb.eofChar = 0x1A;
    dcb.evtChar = 0x7E;
    return true;
  }
  bool SetCommState(const DeviceControlBlock& dcb) override {
    std::lock_guard lock(s_.m);
    s_.log += 'S';
    s_.states.push_back(dcb);
    return true;
  }
  bool GetCommTimeouts(CommTimeouts&) override { return true; }
  bool SetCommTimeouts(const CommTimeouts& t) override {
    std::lock_guard lock(s_.m);
    s_.log += 'T';
    s_.timeouts.push_back(t);
    return true;
  }
  bool Purge(unsigned) override {
    std::lock_guard lock(s_.m);
    s_.log += 'P';
    if (hangs_) ++s_.hungPurges;
    return true;
  }
  bool CreateCloseEvent() override { return !s_.failCloseEvent; }
  void SetCloseEvent() override {
    std::lock_guard lock(s_.m);
    s_.closed = true;
    s_.cv.notify_all();
  }
  bool CloseEventSet() const override {
    std::lock_guard lock(s_.m);
    return s_.closed;
  }
  bool SetEventMask(std::uint32_t mask) override { return mask == 0x1A0; }
  Input WaitForInput(std::uint8_t* buffer, std::size_t capacity) override {
    std::unique_lock lock(s_.m);
    if (hangs_) {
      s_.cv.wait(lock, [&] { return s_.release; });
      if (std::exchange(late_, false)) return {Status::Closed};
      late_ = true;
      buffer[0] = 'z';
      return {Status::Ok, 1};
    }
    s_.cv.wait(lock, [&] { return s_.closed || !s_.inputs.empty(); });
    if (s_.closed) return {Status::Closed};
    Input in = s_.inputs.front();
    s_.inputs.pop_front();
    if (in.count > 0) {
      std::string bytes = s_.chunks.front();
      s_.chunks.pop_front();
      in.count = std::min(bytes.size(), capacity);
      std::copy_n(bytes.begin(), in.count, buffer);
    }
    return in;
  }
  void EndInput() override {
    std::unique_lock lock(s_.m);
    if (!s_.holdCancel) return;
    s_.cancelWaiting = true;
    s_.cv.notify_all();
    s_.cv.wait(lock, [&] { return s_.cancelEnds; });
    held_ = s_.cancelHeld;
  }
  bool Held() const override { return held_; }
  std::optional<std::uint32_t> ClearCommError() override {
    std::lock_guard lock(s_.m);
    std::uint32_t f = s_.errorFlags;
    s_.errorFlags = 0;
    return f;
  }
  WriteResult Write(const std::uint8_t* data, std::size_t length) override {
    std::lock_guard lock(s_.m);
    if (s_.closed) return {Status::Closed};
    if (s_.failWrite) return {Status::Failed};
    s_.written.append(reinterpret_cast<const char*>(data), length);
    return {Status::Ok, length};
  }
  std::optional<std::size_t> TryWrite(const std::uint8_t* data, std::size_t length) override {
    std::lock_guard lock(s_.m);
    if (!s_.tryWriteTakes || s_.closed) return std::nullopt;
    const std::size_t n = std::min(length, *s_.tryWriteTakes);
    s_.written.append(reinterpret_cast<const char*>(data), n);
    return n;
  }
  void SignalWriter() override {
    std::lock_guard lock(s_.m);
    s_.wake = true;
    s_.cv.notify_all();
  }
  Status WaitForWriteRequest() override {
    std::unique_lock lock(s_.m);
    s_.cv.wait(lock, [&] { return s_.closed || s_.wake; });
    s_.wake = false;
    return s_.closed ? Status::Closed : Status::Ok;
  }

 private:
  bool Log(char c) {
    std::lock_guard lock(s_.m);
    s_.log += c;
    return true;
  }

  Script& s_;
  const bool hangs_;
  bool late_ = false;
  std::atomic<bool> held_{false};
};

class TCommDevice : public ::testing::Test {
 protected:
  TCommDevice() {
    comm.OnReceiveData = [this](Port&, const std::uint8_t* b, std::uint16_t n) {
      received.emplace_back(reinterpret_cast<const char*>(b), n);
    };
    comm.OnRequestHangup = [this](TComm&) { ++hangups; };
  }

  std::unique_ptr<SerialDevice> Open() {
    ++opens;
    {
      std::lock_guard lock(script.m);
      script.closed = false;
    }
    return std::make_unique<ScriptedDevice>(script);
  }
  std::size_t States() {
    std::lock_guard lock(script.m);
    return script.states.size();
  }
  DeviceControlBlock LastState() {
    std::lock_guard lock(script.m);
    return script.states.back();
  }
  bool Send(const std::string& s) {
    return comm.SendData(reinterpret_cast<const std::uint8_t*>(s.data()),
                         static_cast<std::uint16_t>(s.size()));
  }
  // Waits for what the threads change in the script without posting to the loop, which
  // then looks every few milliseconds.
  bool ScriptReaches(const std::function<bool(const Script&)>& reached) {
    const EventLoop::TimerId look = loop.StartTimer(5, [] {});
    const bool ok = loop.RunUntil(
        [&] {
          std::lock_guard lock(script.m);
          return reached(script);
        },
        2000);
    loop.StopTimer(look);
    return ok;
  }

  Script script;
  RealLoop loop;
  int opens = 0;
  TComm comm{loop, [this](const std::string&) { return Open(); }};
  std::vector<std::string> received;
  int hangups = 0;
};

TEST_F(TCommDevice, DefaultsReachTheDeviceAtOpen) {
  comm.OpenPort();
  EXPECT_EQ(opens, 1);
  DeviceControlBlock d = LastState();
  std::lock_guard lock(script.m);
  // Purge, then time-outs, then line settings.
  EXPECT_EQ(script.log, "PTS");
  const CommTimeouts& t = script.timeouts.at(0);
  EXPECT_EQ((std::array{t.readInterval, t.readTotalMultiplier, t.readTotalConstant,
                        t.writeTotalMultiplier, t.writeTotalConstant}),
            (std::array<std::uint32_t, 5>{100, 0, 0, 0, 0}));
  EXPECT_EQ(d.baudRate, 9600u);
  // binary | DTR on | continue on XOFF | XON/XOFF out and in | RTS on
  EXPECT_EQ(d.flags, 0x1u | 0x10u | 0x80u | 0x100u | 0x200u | 0x1000u);
  EXPECT_EQ((std::array{d.xonLim, d.xoffLim}), (std::array<std::uint16_t, 2>{500, 500}));
  EXPECT_EQ((std::array{d.byteSize, d.parity, d.stopBits, d.xonChar, d.xoffChar, d.errorChar}),
            (std::array<std::uint8_t, 6>{8, 0, 0, 17, 19, 0}));
  // What the component does not own keeps the device's values.
  EXPECT_EQ(d.eofChar, 0x1A);
  EXPECT_EQ(d.evtChar, 0x7E);
}

TEST_F(TCommDevice, SettersApplyChangesOnlyAndOnlyWhileOpen) {
  comm.SetDtrControl(TDtrControl::DtrDisable);  // closed: stored only
  EXPECT_EQ(States(), 0u);
  comm.OpenPort();
  ASSERT_EQ(States(), 1u);
  EXPECT_EQ(LastState().DtrMode(), 0u);

  comm.SetDtrControl(TDtrControl::DtrDisable);  // unchanged: nothing happens
  EXPECT_EQ(States(), 1u);
  // The pulse pair: lowered, then raised again.
  comm.SetDtrControl(TDtrControl::DtrEnable);
  EXPECT_EQ(LastState().DtrMode(), 1u);
  comm.SetDtrControl(TDtrControl::DtrDisable);
  EXPECT_EQ(LastState().DtrMode(), 0u);
  comm.SetDtrControl(TDtrControl::DtrHandshake);
  EXPECT_EQ(LastState().DtrMode(), 2u);
  EXPECT_EQ(States(), 4u);

  // Ordinals differ from the device codes for the RTS modes too.
  comm.SetRtsControl(TRtsControl::RtsDisable);
  EXPECT_EQ(LastState().RtsMode(), 0u);
  comm.SetRtsControl(TRtsControl::RtsTransmissionAvailable);
  EXPECT_EQ(LastState().RtsMode(), 3u);
  comm.SetByteSize(TByteSize::_5);
  comm.SetParity(TParity::Space);
  comm.SetStopBits(TStopBits::_1_5);
  comm.SetIgnoreNullChar(true);
  comm.SetParityCheck(true);
  DeviceControlBlock d = LastState();
  EXPECT_EQ(d.byteSize, 5);
  EXPECT_EQ(d.parity, 4);
  EXPECT_EQ(d.stopBits, 1);
  EXPECT_TRUE(d.DiscardNull());
  EXPECT_TRUE(d.ParityCheck());
  EXPECT_TRUE(d.Binary());

  comm.SetReadIntervalTimeout(20);
  comm.SetReadIntervalTimeout(20);
  {
    std::lock_guard lock(script.m);
    ASSERT_EQ(script.timeouts.size(), 2u);
    EXPECT_EQ(script.timeouts[1].readInterval, 20u);
  }
  // A new name waits for the next open.
  comm.SetCommName("ttyS1");
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(comm.IsOpen());
}

TEST_F(TCommDevice, LineEventsAndErrorsBecomeEventsAndReadingGoesOn) {
  std::vector<std::uint32_t> modem, errors;
  comm.OnModemStateChange = [&](TComm&, std::uint32_t v) { modem.push_back(v); };
  comm.OnReceiveError = [&](TComm&, std::uint32_t v) { errors.push_back(v); };
  comm.OpenPort();
  {
    std::lock_guard lock(script.m);
    script.errorFlags = CE_FRAME | CE_OVERRUN;
  }
  script.Push({SerialDevice::Status::Ok, 0, EV_RLSD | EV_RING});
  script.Push({SerialDevice::Status::Ok, 0, EV_RLSD});
  script.Push({SerialDevice::Status::Ok, 0, EV_ERR});
  script.Push({SerialDevice::Status::Ok, 1, 0}, "after");
  ASSERT_TRUE(loop.RunUntil([&] { return !received.empty(); }, 2000));
  EXPECT_EQ(modem, (std::vector<std::uint32_t>{12, 8}));
  EXPECT_EQ(errors, std::vector<std::uint32_t>{CE_FRAME | CE_OVERRUN});
  EXPECT_EQ(received, std::vector<std::string>{"after"});
  EXPECT_EQ(hangups, 0);

  // An event with none of the watched bits ends the reader with a report.
  script.Push({SerialDevice::Status::Ok, 0, 0x40});
  ASSERT_TRUE(loop.RunUntil([&] { return hangups == 1; }, 2000));
  script.Push({SerialDevice::Status::Ok, 1, 0}, "ignored");
  loop.RunFor(20);
  EXPECT_EQ(received.size(), 1u);
}

TEST_F(TCommDevice, ReaderFailureIsReportedButAClosedHandleIsNot) {
  comm.OpenPort();
  script.Push({SerialDevice::Status::Gone});
  script.Push({SerialDevice::Status::Failed});  // left for the next reader
  // Closed before it took its input, the reader would leave both for the next one.
  ASSERT_TRUE(ScriptReaches([](const Script& s) { return s.inputs.size() == 1; }));
  loop.RunFor(30);
  EXPECT_EQ(hangups, 0);
  comm.ClosePort();

  comm.OpenPort();
  ASSERT_TRUE(loop.RunUntil([&] { return hangups == 1; }, 2000));
  EXPECT_TRUE(comm.IsOpen());
  // The writer still works on a port whose reader has ended.
  EXPECT_TRUE(Send("still"));
  ASSERT_TRUE(ScriptReaches([](const Script& s) { return s.written == "still"; }));
}

TEST_F(TCommDevice, AFailedWriterReportsAndRefusesFurtherData) {
  {
    std::lock_guard lock(script.m);
    script.failWrite = true;
  }
  comm.OpenPort();
  EXPECT_TRUE(Send("lost"));
  ASSERT_TRUE(loop.RunUntil([&] { return hangups == 1; }, 2000));
  // Nothing would ever write it, so the request is not taken.
  EXPECT_FALSE(Send("refused"));
  EXPECT_TRUE(comm.SendQueueEmpty());
}

// Reader and writer both find the device gone: two hang-ups, one lost line per opening.
TEST_F(TCommDevice, ALostLineIsReportedOncePerOpening) {
  int lost = 0;
  comm.OnLineLost = [&](Port&) { ++lost; };
  for (int opening = 1; opening <= 2; ++opening) {
    {
      std::lock_guard lock(script.m);
      script.failWrite = true;
    }
    script.Push({SerialDevice::Status::Failed});
    comm.OpenPort();
    EXPECT_TRUE(Send("x"));
    ASSERT_TRUE(loop.RunUntil([&] { return hangups == 2 * opening; }, 2000));
    loop.RunFor(20);
    EXPECT_EQ(lost, opening);
    comm.ClosePort();
  }
}

// Some USB-serial drivers never complete a cancelled read: the close gives the reader up
// after its wait, the port opens again, and the reader's late chunk reaches nobody.
TEST_F(TCommDevice, AReaderTheDriverNeverLetsGoIsGivenUp) {
  comm.SetCloseWait(std::chrono::milliseconds(100));
  script.hangNext = true;
  comm.OpenPort();
  script.hangNext = false;
  const int before = TComm::ThreadsGivenUp();
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(TComm::ThreadsGivenUp(), before + 1);
  comm.OpenPort();
  script.Push({SerialDevice::Status::Ok, 1}, "a");
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() == 1; }, 2000));
  int purges = 0;
  {
    std::lock_guard lock(script.m);
    script.release = true;
    script.cv.notify_all();
    purges = script.hungPurges;
  }
  ASSERT_TRUE(loop.RunUntil(
      [&] {
        std::lock_guard lock(script.m);
        return script.hungPurges == purges + 1;  // as the reader ends
      },
      2000));
  loop.RunFor(20);
  EXPECT_EQ(received, std::vector<std::string>{"a"});
  EXPECT_EQ(hangups, 0);
  comm.ClosePort();
}

// Once the program ends a Delay returns at once, so a close can no longer serve the
// window while it waits: a port whose driver never lets go is given up after the short
// wait meant for that, not the full close wait.
TEST_F(TCommDevice, AStuckPortClosedAsTheProgramEndsIsGivenUpWithoutTheFullWait) {
  int held = 0;
  comm.OnHeldUntilRestart = [&](Port&) { ++held; };
  script.hangNext = true;
  comm.OpenPort();
  script.hangNext = false;
  loop.EndWaits();
  const auto start = std::chrono::steady_clock::now();
  comm.ClosePort();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(held, 1);
  EXPECT_GE(took, TComm::kUnservedCloseWait);
  EXPECT_LT(took, TComm::kCloseWait / 2);  // seconds to spare either way
  int purges = 0;
  {
    std::lock_guard lock(script.m);
    script.release = true;
    script.cv.notify_all();
    purges = script.hungPurges;
  }
  // The given-up reader ends on its own; the script must outlive it.
  ASSERT_TRUE(ScriptReaches([&](const Script& s) { return s.hungPurges == purges + 1; }));
}

// Ports whose drivers never let go close together: one deadline for all of them, the
// loop's work running meanwhile (the window answers), and each is reported held.
TEST_F(TCommDevice, StuckPortsCloseAgainstOneDeadlineWithTheLoopRunning) {
  // Long enough that one deadline, and a loaded machine's delays on top, stay well short of
  // the two waits the test allows.
  constexpr auto kWait = std::chrono::milliseconds(1000);
  std::vector<std::unique_ptr<TComm>> ports;
  std::vector<Port*> all;
  std::vector<std::string> held;
  script.hangNext = true;
  for (int n = 1; n <= 3; ++n) {
    ports.push_back(std::make_unique<TComm>(loop, [this](const std::string&) { return Open(); }));
    TComm& p = *ports.back();
    p.SetCommName("COM" + std::to_string(n));
    p.SetCloseWait(kWait);
    p.OnHeldUntilRestart = [&](Port& port) { held.push_back(port.CommName()); };
    p.OpenPort();
    all.push_back(&p);
  }
  script.hangNext = false;
  int ticks = 0;
  bool sent = true;
  loop.StartTimer(20, [&] {
    ++ticks;
    sent = sent && ports[0]->SendData(reinterpret_cast<const std::uint8_t*>("x"), 1);
  });
  const int before = TComm::ThreadsGivenUp();
  const auto start = std::chrono::steady_clock::now();
  CloseAll(all);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(held, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(TComm::ThreadsGivenUp(), before + 3);
  EXPECT_LT(took, 2 * kWait);  // in turn, they would take three waits
  EXPECT_GE(ticks, 5);
  EXPECT_FALSE(sent);  // a closing port takes nothing more to send
  for (Port* p : all) EXPECT_FALSE(p->IsOpen());
  int purges = 0;
  {
    std::lock_guard lock(script.m);
    script.release = true;
    script.cv.notify_all();
    purges = script.hungPurges;
  }
  // The given-up readers end on their own; the script must outlive them.
  ASSERT_TRUE(loop.RunUntil(
      [&] {
        std::lock_guard lock(script.m);
        return script.hungPurges == purges + 3;
      },
      2000));
}

// The reader tells of a lost line before it waits for its cancelled read; a device whose
// cancel never completed is kept, with its handle, and the port is reported held.
TEST_F(TCommDevice, ALostLineIsToldBeforeTheCancelAndAHeldDeviceIsKept) {
  int lost = 0;
  std::vector<std::string> held;
  comm.OnLineLost = [&](Port&) { ++lost; };
  comm.OnHeldUntilRestart = [&](Port& p) { held.push_back(p.CommName()); };
  {
    std::lock_guard lock(script.m);
    script.holdCancel = true;
  }
  comm.OpenPort();
  script.Push({SerialDevice::Status::Failed});
  ASSERT_TRUE(loop.RunUntil([&] { return lost == 1; }, 2000));
  // Told while its cancelled read is still held: the reader goes on to wait for it, in its
  // own time.
  ASSERT_TRUE(loop.RunUntil(
      [&] {
        std::lock_guard lock(script.m);
        return script.cancelWaiting;
      },
      2000));
  {
    std::lock_guard lock(script.m);
    script.cancelEnds = true;
    script.cancelHeld = true;
    script.cv.notify_all();
  }
  const int before = TComm::ThreadsGivenUp();
  comm.ClosePort();
  EXPECT_EQ(held, std::vector<std::string>{"COM2"});
  EXPECT_EQ(TComm::ThreadsGivenUp(), before);  // both threads ended; only the device stays
  // A device that let go is closed as usual.
  {
    std::lock_guard lock(script.m);
    script.cancelHeld = false;
  }
  comm.OpenPort();
  comm.ClosePort();
  EXPECT_EQ(held.size(), 1u);
}

// The recorder keeps each chunk read and each frame written, in order, as its slot, and
// forgets by age and by size; its pcapng holds one interface per port and each record
// with its time and direction.
TEST_F(TCommDevice, TheFlightRecorderKeepsTheTrafficAndWritesItAsPcapng) {
  std::int64_t now = 1'000'000;
  auto recorder = std::make_shared<FlightRecorder>(
      FlightRecorder::Limits{10'000'000, std::size_t{1} << 20}, [&now] { return now; });
  comm.SetRecorder(recorder, 3);
  comm.OpenPort();
  script.Push({SerialDevice::Status::Ok, 2}, "\xA5\x01");
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() == 1; }, 2000));
  EXPECT_TRUE(Send("\xAA\x01\x05"));
  ASSERT_TRUE(loop.RunUntil([&] { return recorder->Since(0).size() == 2; }, 2000));
  comm.ClosePort();
  std::vector<FlightRecorder::Record> records = recorder->Since(0);
  EXPECT_EQ(records[0].bytes, "\xA5\x01");
  EXPECT_EQ(records[0].direction, FlightRecorder::Direction::In);
  EXPECT_EQ(records[1].bytes, "\xAA\x01\x05");
  EXPECT_EQ(records[1].direction, FlightRecorder::Direction::Out);
  EXPECT_EQ(records[1].port, 3);

  const std::string pcap = ToPcapng({"COM1", "COM2", "COM3", "COM4"}, records);
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(pcap[at]) |
                                      static_cast<unsigned char>(pcap[at + 1]) << 8 |
                                      static_cast<unsigned char>(pcap[at + 2]) << 16 |
                                      static_cast<unsigned char>(pcap[at + 3]) << 24);
  };
  std::vector<std::uint32_t> types;
  std::size_t at = 0;
  while (at + 12 <= pcap.size()) {
    const std::uint32_t length = u32(at + 4);
    ASSERT_EQ(length % 4, 0u);
    ASSERT_EQ(u32(at + length - 4), length);  // both length fields agree
    types.push_back(u32(at));
    if (u32(at) == 1) {
      EXPECT_EQ(u32(at + 8) & 0xFFFF, kCaptureLinkType);
    }
    if (u32(at) == 6 && types.size() == 7) {  // the frame written: interface 2, outbound
      EXPECT_EQ(u32(at + 8), 2u);
      EXPECT_EQ(u32(at + 16), 1'000'000u);  // low half of the microseconds
      EXPECT_EQ(pcap.substr(at + 28, 3), "\xAA\x01\x05");
      EXPECT_EQ(u32(at + 32), 0x00040002u);  // epb_flags, 4 bytes
      EXPECT_EQ(u32(at + 36), 2u);
    }
    at += length;
  }
  EXPECT_EQ(at, pcap.size());
  EXPECT_EQ(types, (std::vector<std::uint32_t>{0x0A0D0D0A, 1, 1, 1, 1, 6, 6}));
  EXPECT_NE(pcap.find("COM3"), std::string::npos);

  // Ten seconds on, the first two are forgotten; past the size bound, the oldest go.
  now += 10'500'000;
  const std::string big(300 * 1024, 'x');
  for (int i = 0; i < 5; ++i)
    recorder->Add(1, FlightRecorder::Direction::In,
                  reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
  records = recorder->Since(0);
  EXPECT_EQ(records.size(), 3u);
  EXPECT_LE(recorder->Bytes(), std::size_t{1} << 20);
}

// A frame the line takes only in part at once is finished by the writer thread: one
// record of the whole frame, not two broken ones.
TEST_F(TCommDevice, AFrameWrittenInTwoPiecesIsRecordedOnce) {
  auto recorder = std::make_shared<FlightRecorder>();
  comm.SetRecorder(recorder, 1);
  comm.OpenPort();
  {
    std::lock_guard lock(script.m);
    script.tryWriteTakes = 2;
  }
  const std::string frame("\x02\x01\x05\x01\x01NO\x00\xA7", 9);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer waits, idle
  EXPECT_TRUE(Send(frame));
  ASSERT_TRUE(loop.RunUntil([&] { return script.Written().size() == frame.size(); }, 2000));
  ASSERT_TRUE(loop.RunUntil([&] { return !recorder->Since(0).empty(); }, 2000));
  comm.ClosePort();
  EXPECT_EQ(script.Written(), frame);
  const std::vector<FlightRecorder::Record> records = recorder->Since(0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].bytes, frame);
}

TEST_F(TCommDevice, AFailedOpenLeavesThePortClosed) {
  script.failCloseEvent = true;
  try {
    comm.OpenPort();
    FAIL();
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Unable to create event");
  }
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_FALSE(Send("x"));
  script.failCloseEvent = false;
  EXPECT_NO_THROW(comm.OpenPort());
}

}  // namespace
}  // namespace ol
