#include "serial/tcomm.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "serial/read_thread.h"
#include "serial/write_thread.h"

namespace ol {

namespace {

std::uint32_t DtrCode(TDtrControl mode) {
  switch (mode) {
    case TDtrControl::DtrEnable:
      return 1;
    case TDtrControl::DtrDisable:
      return 0;
    case TDtrControl::DtrHandshake:
      return 2;
  }
  return 1;
}

std::uint32_t RtsCode(TRtsControl mode) {
  switch (mode) {
    case TRtsControl::RtsEnable:
      return 1;
    case TRtsControl::RtsDisable:
      return 0;
    case TRtsControl::RtsHandshake:
      return 2;
    case TRtsControl::RtsTransmissionAvailable:
      return 3;
  }
  return 1;
}

}  // namespace

TComm::TComm(EventLoop& loop, SerialDeviceOpener opener)
    : loop_(loop),
      opener_(std::move(opener)),
      window_(loop, [this](Notification& m) { WndProc(m); }) {}

TComm::~TComm() {
  // Nothing of what the loop would run may reach a component on its way out.
  destroying_ = true;
  ClosePort();
}

void TComm::OpenPort() {
  if (device_) throw ECommsError("This serial port already opened");
  // The back-end raises "Error opening serial port", "File handle is not a comm
  // handle " and "Cannot setup comm buffer" itself.
  std::unique_ptr<SerialDevice> device = opener_(commName_);
  if (!device) throw ECommsError("Error opening serial port");
  device_ = std::move(device);
  closeDeadline_.reset();
  lineLostReported_ = false;
  device_->Purge(PURGE_INPUT | PURGE_OUTPUT);
  *sendQueueEmpty_ = true;
  ApplyTimeouts();
  ApplyCommState();
  if (!device_->CreateCloseEvent()) {
    device_.reset();
    throw ECommsError("Unable to create event");
  }
  gate_ = std::make_shared<PostGate>(window_);
  try {
    readThread_ = std::make_unique<TReadThread>(*device_, gate_, tap_);
    readThread_->Start();
  } catch (const std::exception&) {
    readThread_.reset();
    device_.reset();
    throw ECommsError("Unable to create read thread");
  }
  try {
    writeThread_ = std::make_unique<TWriteThread>(*device_, gate_, sendQueueEmpty_, tap_,
                                                  OnSendDataEmpty != nullptr);
    writeThread_->Start();
  } catch (const std::exception&) {
    writeThread_.reset();
    device_->SetCloseEvent();
    device_->Purge(PURGE_INPUT);
    readThread_.reset();  // waits for the reader to end
    device_.reset();
    gate_.reset();
    throw ECommsError("Unable to create write thread");
  }
}

void TComm::BeginClose() {
  if (!device_ || closeDeadline_) return;
  closeDeadline_ = std::chrono::steady_clock::now() + closeWait_;
  // Both threads at once, so that their waits for the driver overlap.
  device_->SetCloseEvent();
  device_->PurgeForClose();
  *sendQueueEmpty_ = true;
}

bool TComm::AwaitThreads() {
  using Clock = std::chrono::steady_clock;
  auto ended = [&](auto& thread, Clock::duration limit) {
    return !thread || thread->WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::max(limit, Clock::duration::zero())));
  };
  // A driver that lets go at once costs the loop no more than a moment.
  Clock::time_point blockUntil = std::min(*closeDeadline_, Clock::now() + kBlockingCloseWait);
  if (ended(readThread_, blockUntil - Clock::now()) &&
      ended(writeThread_, blockUntil - Clock::now()))
    return true;
  // Then the loop runs between short looks, so the window keeps answering.
  constexpr auto kLook = std::chrono::milliseconds(20);
  for (;;) {
    const Clock::duration left = *closeDeadline_ - Clock::now();
    const Clock::duration look = std::min<Clock::duration>(left, kLook);
    const bool done = ended(readThread_, look) && ended(writeThread_, look);
    if (done || left <= Clock::duration::zero()) return done;
    // Once the program ends a Delay returns at once: nothing serves the window any more.
    if (destroying_ || !loop_.Delay(0, 30))
      closeDeadline_ = std::min(*closeDeadline_, Clock::now() + kUnservedCloseWait);
  }
}

void TComm::ClosePort() {
  // Reached again from inside its own wait (an event the loop ran): the outer call ends it.
  if (!device_ || awaitingClose_) return;
  BeginClose();
  awaitingClose_ = true;
  const bool ended = AwaitThreads();
  awaitingClose_ = false;
  const bool readerEnded = ended || !readThread_ || readThread_->WaitFor({});
  const bool writerEnded = ended || !writeThread_ || writeThread_->WaitFor({});
  const bool held = !readerEnded || !writerEnded || device_->Held();
  if (held) GiveUpThreads(!readerEnded, !writerEnded);
  readThread_.reset();
  writeThread_.reset();
  device_.reset();
  gate_.reset();
  closeDeadline_.reset();
  if (held && OnHeldUntilRestart) OnHeldUntilRestart(*this);
}

namespace {

// What a given-up thread still uses, or a device whose cancelled request the system still
// holds; kept for the rest of the process, since either may wake at any time. One per
// port close that a driver never let end.
struct GivenUp {
  std::unique_ptr<SerialDevice> device;
  std::unique_ptr<TReadThread> reader;
  std::unique_ptr<TWriteThread> writer;
};
std::mutex givenUpMutex;
std::vector<GivenUp>* givenUp = new std::vector<GivenUp>;  // never destroyed: see above
std::atomic<int> threadsGivenUp{0};

}  // namespace

void TComm::GiveUpThreads(bool reader, bool writer) {
  gate_->Close();
  GivenUp kept{std::move(device_), nullptr, nullptr};
  if (reader) {
    readThread_->GiveUp();
    kept.reader = std::move(readThread_);
  }
  if (writer) {
    writeThread_->GiveUp();
    kept.writer = std::move(writeThread_);
    // The old writer keeps its own flag; the next opening gets a fresh one.
    sendQueueEmpty_ = std::make_shared<std::atomic<bool>>(true);
  }
  threadsGivenUp += (reader ? 1 : 0) + (writer ? 1 : 0);
  std::lock_guard lock(givenUpMutex);
  givenUp->push_back(std::move(kept));
}

int TComm::ThreadsGivenUp() {
  return threadsGivenUp;
}

bool TComm::SendData(const std::uint8_t* data, std::uint16_t length) {
  // A closing port's writer takes nothing more: bytes handed to it would never go out.
  if (!writeThread_ || closeDeadline_ || length == 0 || data == nullptr) return false;
  std::vector<std::uint8_t> copy;
  try {
    copy.assign(data, data + length);
    return writeThread_->Queue().Post(std::move(copy));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

DeviceControlBlock TComm::CommState(const DeviceControlBlock& fromDevice) const {
  DeviceControlBlock dcb = fromDevice;
  dcb.baudRate = baudRate_;
  std::uint32_t f = 1;  // binary mode
  if (parityCheck_) f |= 1u << 1;
  if (outxCtsFlow_) f |= 1u << 2;
  if (outxDsrFlow_) f |= 1u << 3;
  f |= DtrCode(dtrControl_) << 4;
  if (dsrSensitivity_) f |= 1u << 6;
  if (txContinueOnXoff_) f |= 1u << 7;
  if (outxXonXoffFlow_) f |= 1u << 8;
  if (inxXonXoffFlow_) f |= 1u << 9;
  if (replaceWhenParityError_) f |= 1u << 10;
  if (ignoreNullChar_) f |= 1u << 11;
  f |= RtsCode(rtsControl_) << 12;
  dcb.flags = f;
  dcb.xonLim = xonLimit_;
  dcb.xoffLim = xoffLimit_;
  dcb.byteSize = static_cast<std::uint8_t>(static_cast<int>(byteSize_) + 5);
  dcb.parity = static_cast<std::uint8_t>(parity_);
  dcb.stopBits = static_cast<std::uint8_t>(stopBits_);
  dcb.xonChar = xonChar_;
  dcb.xoffChar = xoffChar_;
  dcb.errorChar = replacedChar_;
  return dcb;
}

void TComm::ApplyCommState() {
  DeviceControlBlock dcb;
  device_->GetCommState(dcb);
  // A setting the device refuses leaves it as it was.
  device_->SetCommState(CommState(dcb));
}

void TComm::ApplyTimeouts() {
  CommTimeouts t;
  device_->GetCommTimeouts(t);
  t.readInterval = readIntervalTimeout_;
  t.readTotalMultiplier = readTotalTimeoutMultiplier_;
  t.readTotalConstant = readTotalTimeoutConstant_;
  t.writeTotalMultiplier = writeTotalTimeoutMultiplier_;
  t.writeTotalConstant = writeTotalTimeoutConstant_;
  device_->SetCommTimeouts(t);
}

void TComm::WndProc(Notification& message) {
  switch (message.message) {
    case MSG_DATA_RECEIVED:
      if (OnReceiveData) {
        try {
          OnReceiveData(*this, message.buffer.data(),
                        static_cast<std::uint16_t>(message.wParam & 0xFFFF));
        } catch (...) {
          // A faulty receive handler must not stop the port.
        }
      }
      break;
    case MSG_RECEIVE_ERROR:
      if (OnReceiveError) OnReceiveError(*this, message.lParam);
      break;
    case MSG_REQUEST_HANGUP:
      if (OnRequestHangup) OnRequestHangup(*this);
      if (OnLineLost && !lineLostReported_) {
        lineLostReported_ = true;
        OnLineLost(*this);
      }
      break;
    case MSG_MODEM_STATE:
      if (OnModemStateChange) OnModemStateChange(*this, message.lParam);
      break;
    case MSG_SEND_EMPTY:
      if (OnSendDataEmpty) OnSendDataEmpty(*this);
      break;
    default:
      break;
  }
}

}  // namespace ol
