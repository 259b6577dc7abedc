#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace ol {

// The one exception of the serial component: every failure of OpenPort raises it.
class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };

// What the logic uses of a station port (Comm1..Comm5). Events run on the loop's thread.
class Port {
 public:
  // Buffer holds length bytes followed by one zero byte; valid only during the call.
  using ReceiveDataEvent =
      std::function<void(Port& sender, const std::uint8_t* buffer, std::uint16_t length)>;

  virtual ~Port() = default;

  // Throws ECommsError.
  virtual void OpenPort() = 0;
  // Closed on return. A port whose driver is slow to let go is waited for with the
  // loop's events running (the window keeps answering); one that never does is left
  // held, and OnHeldUntilRestart says so.
  virtual void ClosePort() = 0;
  // Starts a close without waiting; the ClosePort that follows finishes it against the
  // deadline set here. Closing several ports, start them all first: they then share
  // one wait instead of each waiting in turn.
  virtual void BeginClose() {}
  virtual bool IsOpen() const = 0;
  // Queues the bytes for sending; false when closed, when length is 0 or when the
  // request could not be queued.
  virtual bool SendData(const std::uint8_t* data, std::uint16_t length) = 0;

  virtual const std::string& CommName() const = 0;
  virtual void SetCommName(std::string name) = 0;
  virtual TDtrControl DtrControl() const = 0;
  virtual void SetDtrControl(TDtrControl mode) = 0;
  // From the next opening on, the traffic is recorded as station slot 1..4's, where the
  // port keeps a record at all: Comm5 opens a station's device to set its channel.
  virtual void RecordAs(int /*slot*/) {}

  int Tag = 0;
  ReceiveDataEvent OnReceiveData;
  // The device went away under an open port (an adapter unplugged); the port stays
  // open until it is closed.
  std::function<void(Port& sender)> OnLineLost;
  // A close gave up on the driver: the port's handle stays open, and the port cannot be
  // opened again, until the program ends.
  std::function<void(Port& sender)> OnHeldUntilRestart;
};

// Closes every port given (null entries are skipped) against one deadline.
template <class Ports>
void CloseAll(const Ports& ports) {
  for (Port* p : ports)
    if (p) p->BeginClose();
  for (Port* p : ports)
    if (p) p->ClosePort();
}

}  // namespace ol
