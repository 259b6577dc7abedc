// The Win32 back-end of the serial component: overlapped I/O on "\\.\COMn". The reader
// keeps one read and one line-event wait pending at the same time, each with its own
// operation record, and sleeps on the close event and both together.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "serial/port.h"
#include "serial/serial_device.h"
#include "serial/win32_serial_calls.h"
// After our headers: their names of the comm event bits become the system's macros.
#include <windows.h>

namespace ol {
namespace {

// A device without modem lines (many virtual and Bluetooth ports) refuses the line-event
// wait in one of these ways; its data still flows, so it is read for data only.
bool LinesUnsupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_INVALID_PARAMETER;
}

// Wine completes an operation cancelled by a close with this code where Windows reports
// ERROR_OPERATION_ABORTED; both mean the same here.
constexpr DWORD kCancelledOnWine = 676;

// A request the system refused at once with ERROR_OPERATION_ABORTED (a purge that raced
// it) is made again after this pause, or at once when the port closes meanwhile.
constexpr DWORD kRetryPauseMs = 10;
// Aborted this many times in a row, with the error acknowledged each time and nothing read
// or written between, a direction of the port is failing: it is reported lost.
constexpr int kAbortsBeforeLost = 20;

constexpr DWORD kLineErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

// What a failed operation means for the caller.
enum class Outcome { Retry, Closed, Gone, Failed };

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE h) : h_(h), calls_(SerialCalls()) {
    readOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    eventOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!readOv_.hEvent || !eventOv_.hEvent || !writeOv_.hEvent) {
      Release();
      throw ECommsError("Cannot setup comm buffer");
    }
  }

  ~Win32SerialDevice() override {
    // The threads have ended and nothing of ours is pending (a held device is never
    // destroyed), but an operation the system still holds must not complete into freed
    // records.
    calls_.cancelIoEx(h_, nullptr);
    Release();
    CloseHandle(h_);
  }

  bool GetCommState(DeviceControlBlock& dcb) override {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(h_, &d)) return false;
    dcb.baudRate = d.BaudRate;
    dcb.flags = d.fBinary | d.fParity << 1 | d.fOutxCtsFlow << 2 | d.fOutxDsrFlow << 3 |
                d.fDtrControl << 4 | d.fDsrSensitivity << 6 | d.fTXContinueOnXoff << 7 |
                d.fOutX << 8 | d.fInX << 9 | d.fErrorChar << 10 | d.fNull << 11 |
                d.fRtsControl << 12;
    dcb.xonLim = d.XonLim;
    dcb.xoffLim = d.XoffLim;
    dcb.byteSize = d.ByteSize;
    dcb.parity = d.Parity;
    dcb.stopBits = d.StopBits;
    dcb.xonChar = static_cast<std::uint8_t>(d.XonChar);
    dcb.xoffChar = static_cast<std::uint8_t>(d.XoffChar);
    dcb.errorChar = static_cast<std::uint8_t>(d.ErrorChar);
    dcb.eofChar = static_cast<std::uint8_t>(d.EofChar);
    dcb.evtChar = static_cast<std::uint8_t>(d.EvtChar);
    return true;
  }

  bool SetCommState(const DeviceControlBlock& dcb) override {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(h_, &d)) return false;
    d.BaudRate = dcb.baudRate;
    d.fBinary = 1;
    d.fParity = dcb.ParityCheck();
    d.fOutxCtsFlow = dcb.OutxCtsFlow();
    d.fOutxDsrFlow = dcb.OutxDsrFlow();
    d.fDtrControl = dcb.DtrMode();
    d.fDsrSensitivity = dcb.DsrSensitivity();
    d.fTXContinueOnXoff = dcb.TxContinueOnXoff();
    d.fOutX = dcb.OutX();
    d.fInX = dcb.InX();
    d.fErrorChar = dcb.ErrorCharReplace();
    d.fNull = dcb.DiscardNull();
    // Dropped here as well: not every driver heeds fNull (Wine's does not).
    discardNull_ = dcb.DiscardNull();
    d.fRtsControl = dcb.RtsMode();
    // A line error must not stop all later reads and writes until it is cleared.
    d.fAbortOnError = 0;
    d.XonLim = dcb.xonLim;
    d.XoffLim = dcb.xoffLim;
    d.ByteSize = dcb.byteSize;
    d.Parity = dcb.parity;
    d.StopBits = dcb.stopBits;
    d.XonChar = static_cast<char>(dcb.xonChar);
    d.XoffChar = static_cast<char>(dcb.xoffChar);
    d.ErrorChar = static_cast<char>(dcb.errorChar);
    d.EofChar = static_cast<char>(dcb.eofChar);
    d.EvtChar = static_cast<char>(dcb.evtChar);
    if (d.XonChar == d.XoffChar) {
      // Windows refuses equal characters even when no software flow control uses them,
      // which would leave the whole setting (speed included) undone; unused, the
      // standard pair does no harm.
      if (d.fOutX || d.fInX) return false;
      d.XonChar = 0x11;
      d.XoffChar = 0x13;
    }
    if (!::SetCommState(h_, &d)) return false;
    // Raise or drop the lines at once; a driver without modem lines refuses, which is
    // not an error.
    if (d.fDtrControl != DTR_CONTROL_HANDSHAKE)
      EscapeCommFunction(h_, d.fDtrControl == DTR_CONTROL_DISABLE ? CLRDTR : SETDTR);
    if (d.fRtsControl == RTS_CONTROL_DISABLE || d.fRtsControl == RTS_CONTROL_ENABLE)
      EscapeCommFunction(h_, d.fRtsControl == RTS_CONTROL_DISABLE ? CLRRTS : SETRTS);
    return true;
  }

  bool GetCommTimeouts(CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(h_, &t)) return false;
    timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
  }

  bool SetCommTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{timeouts.readInterval, timeouts.readTotalMultiplier, timeouts.readTotalConstant,
                   timeouts.writeTotalMultiplier, timeouts.writeTotalConstant};
    return ::SetCommTimeouts(h_, &t) != 0;
  }

  bool Purge(unsigned what) override {
    DWORD flags = 0;
    if (what & PURGE_INPUT) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (what & PURGE_OUTPUT) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    return calls_.purgeComm(h_, flags) != 0;
  }

  // Left to the threads, which purge their own side as they end: a driver that holds on to
  // an aborted request may keep PurgeComm waiting, and the window's thread must not wait.
  // The close event wakes both threads; they cancel their requests themselves.
  void PurgeForClose() override {}

  bool CreateCloseEvent() override {
    close_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return close_ && wake_;
  }

  void SetCloseEvent() override {
    closeSet_ = true;
    if (close_) SetEvent(close_);
  }

  bool CloseEventSet() const override { return closeSet_.load(); }

  bool SetEventMask(std::uint32_t mask) override {
    eventMask_ = mask & (EV_RLSD | EV_ERR | EV_RING);
    watchLines_ = eventMask_ != 0 && SetCommMask(h_, eventMask_);
    return true;
  }

  // Returns with operations still pending when it ends: the reader reports first and
  // then lets EndInput cancel them, so that a driver slow to cancel delays no report.
  Input WaitForInput(std::uint8_t* buffer, std::size_t capacity) override {
    if (hungUp_) return {Status::Failed};
    const DWORD size = static_cast<DWORD>(capacity);
    for (;;) {
      if (closeSet_) return {Status::Closed};
      if (!readPending_) {
        ResetEvent(readOv_.hEvent);
        if (calls_.readFile(h_, buffer, size, nullptr, &readOv_) ||
            GetLastError() == ERROR_IO_PENDING) {
          readPending_ = true;
        } else if (Input in; Failure(GetLastError(), in)) {
          return in;
        } else {
          // No read is pending now, so its event would never wake the wait below.
          PauseBeforeRetry();
          continue;
        }
      }
      if (watchLines_ && !eventPending_) {
        ResetEvent(eventOv_.hEvent);
        lineEvents_ = 0;
        if (WaitCommEvent(h_, &lineEvents_, &eventOv_) || GetLastError() == ERROR_IO_PENDING) {
          eventPending_ = true;
        } else if (LinesUnsupported(GetLastError())) {
          watchLines_ = false;
        } else if (Input in; Failure(GetLastError(), in)) {
          return in;
        } else {
          PauseBeforeRetry();
          continue;
        }
      }
      // The close event first: a close wins over data that arrived at the same moment.
      HANDLE waits[3] = {close_, readOv_.hEvent, eventOv_.hEvent};
      const DWORD count = eventPending_ ? 3 : 2;
      const DWORD w = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
      if (w == WAIT_OBJECT_0) continue;
      if (w == WAIT_OBJECT_0 + 1) {
        DWORD n = 0;
        const bool done = GetOverlappedResult(h_, &readOv_, &n, FALSE);
        const DWORD err = done ? 0 : GetLastError();
        if (!done && err == ERROR_IO_INCOMPLETE) continue;
        readPending_ = false;
        // Wine ends a read on its total time-out with ERROR_TIMEOUT where Windows reports
        // success; the bytes read count either way. A read without bytes is no chunk.
        if (done || err == ERROR_TIMEOUT) {
          readAborts_ = 0;
          if (discardNull_) n = static_cast<DWORD>(std::remove(buffer, buffer + n, 0) - buffer);
          if (n > 0) return {Status::Ok, n, 0};
          continue;
        }
        if (Input in; Failure(err, in)) return in;
        continue;
      }
      if (w == WAIT_OBJECT_0 + 2) {
        DWORD ignored = 0;
        const bool done = GetOverlappedResult(h_, &eventOv_, &ignored, FALSE);
        const DWORD err = done ? 0 : GetLastError();
        if (!done && err == ERROR_IO_INCOMPLETE) continue;
        eventPending_ = false;
        if (done) {
          readAborts_ = 0;
          if (const std::uint32_t events = lineEvents_ & eventMask_) return {Status::Ok, 0, events};
          continue;
        }
        if (LinesUnsupported(err)) {
          watchLines_ = false;
          continue;
        }
        if (Input in; Failure(err, in)) return in;
        continue;
      }
      hungUp_ = true;
      return {Status::Failed};
    }
  }

  void EndInput() override {
    if (readPending_ && Cancelled(readOv_)) readPending_ = false;
    if (eventPending_) {
      // A new mask ends a pending line-event wait on every system; Wine's wait does not
      // heed a cancel.
      SetCommMask(h_, 0);
      if (Cancelled(eventOv_)) eventPending_ = false;
    }
  }

  bool Held() const override { return held_; }

  std::optional<std::uint32_t> ClearCommError() override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!calls_.clearCommError(h_, &errors, &stat)) return std::nullopt;
    // Together with those an acknowledgement after an abort cleared.
    return (errors & kLineErrors) | unreported_.exchange(0);
  }

  WriteResult Write(const std::uint8_t* data, std::size_t length) override {
    for (;;) {
      if (closeSet_) return {Status::Closed};
      ResetEvent(writeOv_.hEvent);
      DWORD err = 0;
      if (!calls_.writeFile(h_, data, static_cast<DWORD>(length), nullptr, &writeOv_)) {
        err = GetLastError();
        if (err != ERROR_IO_PENDING) {
          if (Outcome o = AfterAbort(err, writeAborts_); o != Outcome::Retry) return {ToStatus(o)};
          PauseBeforeRetry();
          continue;
        }
        HANDLE waits[2] = {close_, writeOv_.hEvent};
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) {
          // Bounded: a driver that never completes the cancel must not keep the writer.
          Cancelled(writeOv_);
          return {w == WAIT_OBJECT_0 ? Status::Closed : Status::Failed};
        }
      }
      DWORD n = 0;
      if (GetOverlappedResult(h_, &writeOv_, &n, TRUE) || GetLastError() == ERROR_TIMEOUT) {
        writeAborts_ = 0;
        // A write time-out without progress: try again.
        if (n > 0) return {Status::Ok, n};
        continue;
      }
      if (Outcome o = AfterAbort(GetLastError(), writeAborts_); o != Outcome::Retry)
        return {ToStatus(o)};
      PauseBeforeRetry();
    }
  }

  void SignalWriter() override {
    if (wake_) SetEvent(wake_);
  }

  Status WaitForWriteRequest() override {
    if (closeSet_) return Status::Closed;
    HANDLE waits[2] = {close_, wake_};
    const DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0 || closeSet_) return Status::Closed;
    return w == WAIT_OBJECT_0 + 1 ? Status::Ok : Status::Failed;
  }

 private:
  Outcome Classify(DWORD err) const {
    if (err == ERROR_OPERATION_ABORTED || err == kCancelledOnWine)
      // A purge aborts pending operations too; only a close ends the caller.
      return closeSet_ ? Outcome::Closed : Outcome::Retry;
    if (err == ERROR_INVALID_HANDLE) return Outcome::Gone;
    // Anything else (Windows: access denied, device not connected, bad command after
    // the adapter was pulled; Wine: broken pipe) means the device failed or went away.
    return Outcome::Failed;
  }

  static Status ToStatus(Outcome o) {
    return o == Outcome::Closed ? Status::Closed
           : o == Outcome::Gone ? Status::Gone
                                : Status::Failed;
  }

  // Classify, where an abort is first acknowledged (see Acknowledge) and, when the direction
  // keeps being aborted, or the acknowledgement fails, means the device failed.
  Outcome AfterAbort(DWORD err, int& abortsInARow) {
    const Outcome o = Classify(err);
    if (o != Outcome::Retry) return o;
    return Acknowledge() && ++abortsInARow < kAbortsBeforeLost ? Outcome::Retry : Outcome::Failed;
  }

  // ClearCommError: "No new read or write operations will be accepted until the application
  // acknowledges the communications error by calling the ClearCommError function." A driver
  // that keeps to that despite fAbortOnError being off would otherwise refuse every retry.
  // The line errors it clears are left for the reader's next report.
  bool Acknowledge() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!calls_.clearCommError(h_, &errors, &stat)) return false;
    unreported_ |= errors & kLineErrors;
    return true;
  }

  // True when the error ends the wait; in then holds what to return. The line errors an
  // acknowledgement found are reported at once when the reader watches for them.
  bool Failure(DWORD err, Input& in) {
    const Outcome o = AfterAbort(err, readAborts_);
    if (o == Outcome::Retry) {
      if (unreported_ == 0 || !(eventMask_ & EV_ERR)) return false;
      in = {Status::Ok, 0, EV_ERR};
      return true;
    }
    if (o == Outcome::Failed) hungUp_ = true;
    in = {ToStatus(o)};
    return true;
  }

  // Cancels one pending operation and waits, at most kCancelWaitMs, for the system to let
  // go of its record. False when it did not: the device is held from then on.
  bool Cancelled(OVERLAPPED& ov) {
    calls_.cancelIoEx(h_, &ov);
    if (WaitForSingleObject(ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      held_ = true;
      return false;
    }
    DWORD ignored;
    GetOverlappedResult(h_, &ov, &ignored, FALSE);
    return true;
  }

  void PauseBeforeRetry() const { WaitForSingleObject(close_, kRetryPauseMs); }

  void Release() {
    for (HANDLE e : {readOv_.hEvent, eventOv_.hEvent, writeOv_.hEvent, close_, wake_})
      if (e) CloseHandle(e);
  }

  const HANDLE h_;
  const Win32SerialCalls calls_;
  HANDLE close_ = nullptr;
  HANDLE wake_ = nullptr;  // auto-reset: a write request is waiting
  std::atomic<bool> closeSet_{false};
  std::atomic<bool> discardNull_{false};      // set by the main thread, read by the reader
  std::atomic<bool> held_{false};             // set by either thread, read after both ended
  std::atomic<std::uint32_t> unreported_{0};  // line errors an acknowledgement cleared

  // Reader thread only.
  OVERLAPPED readOv_{};
  OVERLAPPED eventOv_{};
  DWORD lineEvents_ = 0;
  std::uint32_t eventMask_ = 0;
  bool watchLines_ = false;
  bool readPending_ = false;
  bool eventPending_ = false;
  bool hungUp_ = false;
  int readAborts_ = 0;  // requests aborted in a row

  // Writer thread only.
  OVERLAPPED writeOv_{};
  int writeAborts_ = 0;
};

}  // namespace

Win32SerialCalls& SerialCalls() {
  static Win32SerialCalls calls;
  return calls;
}

namespace {
BOOL WINAPI CancelNothing(HANDLE, LPOVERLAPPED) {
  return TRUE;
}
// Clears the buffers, but aborts nothing.
BOOL WINAPI PurgeBuffersOnly(HANDLE h, DWORD flags) {
  return PurgeComm(h, flags & (PURGE_RXCLEAR | PURGE_TXCLEAR));
}
}  // namespace

void IgnoreCancels(Win32SerialCalls& calls) {
  calls.cancelIoEx = &CancelNothing;
  calls.purgeComm = &PurgeBuffersOnly;
}

void ApplySerialFaultsFromEnvironment() {
  wchar_t value[8] = L"";
  if (GetEnvironmentVariableW(L"ORDERLINK_FAULT_IGNORE_CANCEL", value, 8) == 1 && value[0] == L'1')
    IgnoreCancels(SerialCalls());
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& name) {
  const std::string path = "\\\\.\\" + name;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw ECommsError("Error opening serial port");
  if (GetFileType(h) != FILE_TYPE_CHAR) {
    CloseHandle(h);
    throw ECommsError("File handle is not a comm handle ");
  }
  if (!SetupComm(h, 4096, 4096)) {
    CloseHandle(h);
    throw ECommsError("Cannot setup comm buffer");
  }
  try {
    return std::make_unique<Win32SerialDevice>(h);
  } catch (const ECommsError&) {
    CloseHandle(h);
    throw;
  } catch (...) {
    CloseHandle(h);
    throw ECommsError("Cannot setup comm buffer");
  }
}

}  // namespace ol
