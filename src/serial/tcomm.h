#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/event_loop.h"
#include "serial/notification_window.h"
#include "serial/port.h"
#include "serial/serial_device.h"
#include "serial/worker_thread.h"

namespace ol {

class TReadThread;
class TWriteThread;

enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize { _5, _6, _7, _8 };
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };

// A serial port with a reader and a writer thread. Every event runs on the loop given at
// construction; the worker threads only post to it.
class TComm : public Port {
 public:
  using TReceiveDataEvent = Port::ReceiveDataEvent;
  using TReceiveErrorEvent = std::function<void(TComm& sender, std::uint32_t eventMask)>;
  using TModemStateChangeEvent = std::function<void(TComm& sender, std::uint32_t modemEvent)>;
  using TNotifyEvent = std::function<void(TComm& sender)>;
  using TSendDataEmptyEvent = std::function<void(TComm& sender)>;

  explicit TComm(EventLoop& loop, SerialDeviceOpener opener = OpenSerialDevice);
  // Closes the port first, so that no thread outlives the component; chunks still on
  // their way to the loop are dropped.
  ~TComm() override;
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  void OpenPort() override;
  void ClosePort() override;
  void BeginClose() override;
  bool IsOpen() const override { return device_ != nullptr; }
  bool SendData(const std::uint8_t* data, std::uint16_t length) override;

  const std::string& CommName() const override { return commName_; }
  void SetCommName(std::string name) override { commName_ = std::move(name); }

  std::uint32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(std::uint32_t v) { SetLine(baudRate_, v); }
  bool ParityCheck() const { return parityCheck_; }
  void SetParityCheck(bool v) { SetLine(parityCheck_, v); }
  bool Outx_CtsFlow() const { return outxCtsFlow_; }
  void SetOutx_CtsFlow(bool v) { SetLine(outxCtsFlow_, v); }
  bool Outx_DsrFlow() const { return outxDsrFlow_; }
  void SetOutx_DsrFlow(bool v) { SetLine(outxDsrFlow_, v); }
  TDtrControl DtrControl() const override { return dtrControl_; }
  void SetDtrControl(TDtrControl v) override { SetLine(dtrControl_, v); }
  bool DsrSensitivity() const { return dsrSensitivity_; }
  void SetDsrSensitivity(bool v) { SetLine(dsrSensitivity_, v); }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  void SetTxContinueOnXoff(bool v) { SetLine(txContinueOnXoff_, v); }
  bool Outx_XonXoffFlow() const { return outxXonXoffFlow_; }
  void SetOutx_XonXoffFlow(bool v) { SetLine(outxXonXoffFlow_, v); }
  bool Inx_XonXoffFlow() const { return inxXonXoffFlow_; }
  void SetInx_XonXoffFlow(bool v) { SetLine(inxXonXoffFlow_, v); }
  bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
  void SetReplaceWhenParityError(bool v) { SetLine(replaceWhenParityError_, v); }
  bool IgnoreNullChar() const { return ignoreNullChar_; }
  void SetIgnoreNullChar(bool v) { SetLine(ignoreNullChar_, v); }
  TRtsControl RtsControl() const { return rtsControl_; }
  void SetRtsControl(TRtsControl v) { SetLine(rtsControl_, v); }
  std::uint16_t XonLimit() const { return xonLimit_; }
  void SetXonLimit(std::uint16_t v) { SetLine(xonLimit_, v); }
  std::uint16_t XoffLimit() const { return xoffLimit_; }
  void SetXoffLimit(std::uint16_t v) { SetLine(xoffLimit_, v); }
  TByteSize ByteSize() const { return byteSize_; }
  void SetByteSize(TByteSize v) { SetLine(byteSize_, v); }
  TParity Parity() const { return parity_; }
  void SetParity(TParity v) { SetLine(parity_, v); }
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v) { SetLine(stopBits_, v); }
  std::uint8_t XonChar() const { return xonChar_; }
  void SetXonChar(std::uint8_t v) { SetLine(xonChar_, v); }
  std::uint8_t XoffChar() const { return xoffChar_; }
  void SetXoffChar(std::uint8_t v) { SetLine(xoffChar_, v); }
  std::uint8_t ReplacedChar() const { return replacedChar_; }
  void SetReplacedChar(std::uint8_t v) { SetLine(replacedChar_, v); }

  std::uint32_t ReadIntervalTimeout() const { return readIntervalTimeout_; }
  void SetReadIntervalTimeout(std::uint32_t v) { SetTimeout(readIntervalTimeout_, v); }
  std::uint32_t ReadTotalTimeoutMultiplier() const { return readTotalTimeoutMultiplier_; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t v) {
    SetTimeout(readTotalTimeoutMultiplier_, v);
  }
  std::uint32_t ReadTotalTimeoutConstant() const { return readTotalTimeoutConstant_; }
  void SetReadTotalTimeoutConstant(std::uint32_t v) { SetTimeout(readTotalTimeoutConstant_, v); }
  std::uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalTimeoutMultiplier_; }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t v) {
    SetTimeout(writeTotalTimeoutMultiplier_, v);
  }
  std::uint32_t WriteTotalTimeoutConstant() const { return writeTotalTimeoutConstant_; }
  void SetWriteTotalTimeoutConstant(std::uint32_t v) { SetTimeout(writeTotalTimeoutConstant_, v); }

  // True while nothing handed to SendData is waiting to be written.
  bool SendQueueEmpty() const { return *sendQueueEmpty_; }

  // How long a close waits for the worker threads before it gives them up.
  static constexpr std::chrono::milliseconds kCloseWait{10000};
  // What a close may keep the loop's thread from its events: past it, the close waits
  // with the loop running.
  static constexpr std::chrono::milliseconds kBlockingCloseWait{100};
  // What a close may keep the loop's thread from its events when it cannot run the loop
  // (the program is ending, or the component going): a driver that lets go within its
  // cancel wait is still waited for, one that holds on is given up.
  static constexpr std::chrono::milliseconds kUnservedCloseWait{SerialDevice::kCancelWaitMs +
                                                                kBlockingCloseWait.count()};
  void SetCloseWait(std::chrono::milliseconds wait) { closeWait_ = wait; }
  // Worker threads given up by every component of the process so far.
  static int ThreadsGivenUp();
  // Keeps a copy of the port's traffic, as station slot port, from the next opening on.
  void SetRecorder(std::shared_ptr<FlightRecorder> recorder, int port) {
    tap_ = TrafficTap{std::move(recorder), port};
  }
  void RecordAs(int slot) override { tap_.port = slot; }

  // The device control block for the current properties, on top of what the device
  // reported (its end-of-file and event characters are kept).
  DeviceControlBlock CommState(const DeviceControlBlock& fromDevice) const;

  std::string Name;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  // Set before OpenPort: the writer of an opening without it never announces an empty queue.
  TSendDataEmptyEvent OnSendDataEmpty;

 private:
  template <class T>
  void SetLine(T& field, T value) {
    if (field == value) return;
    field = value;
    if (IsOpen()) ApplyCommState();
  }
  void SetTimeout(std::uint32_t& field, std::uint32_t value) {
    if (field == value) return;
    field = value;
    if (IsOpen()) ApplyTimeouts();
  }
  void ApplyCommState();
  void ApplyTimeouts();
  void WndProc(Notification& message);
  void GiveUpThreads(bool reader, bool writer);
  // Waits for both threads until the close's deadline; false if one did not end.
  bool AwaitThreads();

  EventLoop& loop_;
  SerialDeviceOpener opener_;
  // Set by BeginClose: when the threads are given up.
  std::optional<std::chrono::steady_clock::time_point> closeDeadline_;
  bool awaitingClose_ = false;  // a ClosePort waits, with the loop running
  bool destroying_ = false;
  std::shared_ptr<std::atomic<bool>> sendQueueEmpty_ = std::make_shared<std::atomic<bool>>(true);
  std::chrono::milliseconds closeWait_ = kCloseWait;
  // The reader and the writer each report a vanished device; the line is lost once.
  bool lineLostReported_ = false;
  NotificationWindow window_;
  std::shared_ptr<PostGate> gate_;  // the threads' way to window_, one per opening
  TrafficTap tap_;
  std::unique_ptr<SerialDevice> device_;  // the port handle: non-null exactly while open
  std::unique_ptr<TReadThread> readThread_;
  std::unique_ptr<TWriteThread> writeThread_;

  std::string commName_ = "COM2";
  std::uint32_t baudRate_ = 9600;
  bool parityCheck_ = false;
  bool outxCtsFlow_ = false;
  bool outxDsrFlow_ = false;
  TDtrControl dtrControl_ = TDtrControl::DtrEnable;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = true;
  bool outxXonXoffFlow_ = true;
  bool inxXonXoffFlow_ = true;
  bool replaceWhenParityError_ = false;
  bool ignoreNullChar_ = false;
  TRtsControl rtsControl_ = TRtsControl::RtsEnable;
  std::uint16_t xonLimit_ = 500;
  std::uint16_t xoffLimit_ = 500;
  TByteSize byteSize_ = TByteSize::_8;
  TParity parity_ = TParity::None;
  TStopBits stopBits_ = TStopBits::_1;
  std::uint8_t xonChar_ = 17;
  std::uint8_t xoffChar_ = 19;
  std::uint8_t replacedChar_ = 0;
  std::uint32_t readIntervalTimeout_ = 100;
  std::uint32_t readTotalTimeoutMultiplier_ = 0;
  std::uint32_t readTotalTimeoutConstant_ = 0;
  std::uint32_t writeTotalTimeoutMultiplier_ = 0;
  std::uint32_t writeTotalTimeoutConstant_ = 0;
};

}  // namespace ol
