#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ol {

// Line events the reader watches (the values of the comm event mask) and the line error
// flags, as read and cleared after an EV_ERR. The names and values are those of
// <windows.h>; where that header came first its macros stand for them.
#ifndef EV_RLSD
inline constexpr std::uint32_t EV_RLSD = 0x20;   // carrier-detect changed
inline constexpr std::uint32_t EV_ERR = 0x80;    // line error
inline constexpr std::uint32_t EV_RING = 0x100;  // ring indicator seen

inline constexpr std::uint32_t CE_RXOVER = 0x1;    // driver input buffer overflowed
inline constexpr std::uint32_t CE_OVERRUN = 0x2;   // hardware overrun
inline constexpr std::uint32_t CE_RXPARITY = 0x4;  // parity error
inline constexpr std::uint32_t CE_FRAME = 0x8;     // framing error
inline constexpr std::uint32_t CE_BREAK = 0x10;    // break received
#endif

// Which side(s) Purge clears.
inline constexpr unsigned PURGE_INPUT = 1;
inline constexpr unsigned PURGE_OUTPUT = 2;

// The device control block: the line settings as one record. The flags word keeps the
// bit layout the component builds (binary mode bit 0 .. RTS control bits 12-13).
struct DeviceControlBlock {
  std::uint32_t baudRate = 9600;
  std::uint32_t flags = 1;
  std::uint16_t xonLim = 0;
  std::uint16_t xoffLim = 0;
  std::uint8_t byteSize = 8;  // data bits, 5..8
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  std::uint8_t errorChar = 0;
  std::uint8_t eofChar = 0;
  std::uint8_t evtChar = 0;

  // Accessors for the packed flags word.
  bool Binary() const { return flags & 0x1; }
  bool ParityCheck() const { return flags & 0x2; }
  bool OutxCtsFlow() const { return flags & 0x4; }
  bool OutxDsrFlow() const { return flags & 0x8; }
  unsigned DtrMode() const { return (flags >> 4) & 0x3; }  // 0 off, 1 on, 2 handshake
  bool DsrSensitivity() const { return flags & 0x40; }
  bool TxContinueOnXoff() const { return flags & 0x80; }
  bool OutX() const { return flags & 0x100; }
  bool InX() const { return flags & 0x200; }
  bool ErrorCharReplace() const { return flags & 0x400; }
  bool DiscardNull() const { return flags & 0x800; }
  unsigned RtsMode() const { return (flags >> 12) & 0x3; }  // 0 off, 1 on, 2 hs, 3 toggle
};

// The five time-outs in milliseconds. A read completes once at least one byte has
// arrived and the line has then been quiet for readInterval (0: no interval limit), or
// when the buffer is full, or when the total (multiplier * requested + constant, if
// either is non-zero) has run out with at least one byte received.
struct CommTimeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;
};

// One open serial device with its close event: the operating-system side of TComm.
// The main thread applies settings, purges and sets the close event; the reader thread
// calls SetEventMask, WaitForInput and ClearCommError; the writer thread calls
// WaitForWriteRequest and Write. SignalWriter may be called from any thread.
class SerialDevice {
 public:
  enum class Status {
    Ok,
    Closed,  // the close event is set
    Gone,    // the handle was closed under the caller: end without a report
    Failed,  // the device failed or went away: report and end
  };

  struct Input {
    Status status = Status::Failed;
    std::size_t count = 0;        // bytes placed in the buffer (status Ok, eventMask 0)
    std::uint32_t eventMask = 0;  // line events (status Ok, count 0)
  };

  struct WriteResult {
    Status status = Status::Failed;
    std::size_t written = 0;
  };

  virtual ~SerialDevice() = default;

  virtual bool GetCommState(DeviceControlBlock& dcb) = 0;
  virtual bool SetCommState(const DeviceControlBlock& dcb) = 0;
  virtual bool GetCommTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool SetCommTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool Purge(unsigned what) = 0;
  // The close's purge of both sides, on the main thread, after SetCloseEvent.
  virtual void PurgeForClose() { Purge(PURGE_INPUT | PURGE_OUTPUT); }

  // The close event: manual reset, created non-signalled. Once set it stays set and
  // ends every wait below with Status::Closed.
  virtual bool CreateCloseEvent() = 0;
  virtual void SetCloseEvent() = 0;
  virtual bool CloseEventSet() const = 0;

  // Reader side. WaitForInput blocks until a chunk is complete (then count > 0), a
  // watched line event occurred (then eventMask != 0), the close event is set, or the
  // device fails. The caller passes the same buffer on every call.
  virtual bool SetEventMask(std::uint32_t mask) = 0;
  virtual Input WaitForInput(std::uint8_t* buffer, std::size_t capacity) = 0;
  // The reader's last call, after it has reported how it ended: cancels what it still has
  // pending and waits for the system to let go, at most kCancelWait (see Held).
  virtual void EndInput() {}
  // Reads and clears the line error flags (CE_*); nullopt on failure.
  virtual std::optional<std::uint32_t> ClearCommError() = 0;

  // Writer side. Write blocks until at least one byte has been written, the close event
  // is set or the device fails. WaitForWriteRequest sleeps until SignalWriter was
  // called since the last wait (Ok) or the close event is set (Closed).
  virtual WriteResult Write(const std::uint8_t* data, std::size_t length) = 0;
  // Any thread, while the writer waits for a request: writes what the device takes at
  // once without blocking and returns how much (possibly 0), or nullopt when it cannot
  // or the device reports a failure, which is then the writer's to find and report.
  virtual std::optional<std::size_t> TryWrite(const std::uint8_t*, std::size_t) {
    return std::nullopt;
  }
  virtual void SignalWriter() = 0;
  virtual Status WaitForWriteRequest() = 0;

  // How long a thread waits for the system to complete a cancelled operation. Some
  // USB-serial drivers never do after a surprise removal; the thread then ends anyway.
  static constexpr int kCancelWaitMs = 2000;
  // True once a cancelled operation outlived kCancelWaitMs: the system may still write
  // into this object, so it must never be destroyed, and it keeps its handle (the port
  // stays held until the program ends).
  virtual bool Held() const { return false; }
};

// Opens a device by port name for the component; throws ECommsError with the
// component's texts ("Error opening serial port", "File handle is not a comm handle ",
// "Cannot setup comm buffer").
using SerialDeviceOpener = std::function<std::unique_ptr<SerialDevice>(const std::string& name)>;

// The platform's back-end (POSIX termios on Linux, overlapped I/O on Windows).
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& name);

}  // namespace ol
