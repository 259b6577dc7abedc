#include "testing/fake_port.h"

#include <cstdio>

namespace ol::testing {

void FakePort::OpenPort() {
  if (open_) throw ECommsError("This serial port already opened");
  if (failOpen) throw ECommsError("Error opening serial port");
  open_ = true;
  ++openCount;
}

void FakePort::ClosePort() {
  open_ = false;
}

bool FakePort::SendData(const std::uint8_t* data, std::uint16_t length) {
  if (!open_ || length == 0) return false;
  std::string hex;
  char pair[3];
  for (std::uint16_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", data[i]);
    hex += pair;
  }
  sent_.push_back(hex);
  if (onSend) onSend(hex);
  return true;
}

void FakePort::SetDtrControl(TDtrControl mode) {
  if (mode == dtr_) return;
  bool wasRaised = dtr_ != TDtrControl::DtrDisable;
  dtr_ = mode;
  bool raised = dtr_ != TDtrControl::DtrDisable;
  if (open_ && raised != wasRaised) dtrChanges.push_back({loop_ ? loop_->Now() : 0, raised});
}

void FakePort::Receive(const std::string& bytes) {
  if (onReceive) onReceive(bytes);
  std::string copy = bytes;
  copy.push_back('\0');
  if (OnReceiveData)
    OnReceiveData(*this, reinterpret_cast<const std::uint8_t*>(copy.data()),
                  static_cast<std::uint16_t>(bytes.size()));
}

void FakePort::ReceiveHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  Receive(bytes);
}

std::vector<std::string> FakePort::TakeSent() {
  std::vector<std::string> out;
  out.swap(sent_);
  return out;
}

}  // namespace ol::testing
