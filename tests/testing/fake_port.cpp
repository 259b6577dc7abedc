#include "testing/fake_port.h"

#include <stdexcept>

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
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2u * length);
  for (std::uint16_t i = 0; i < length; ++i) {
    hex.push_back(kDigits[data[i] >> 4]);
    hex.push_back(kDigits[data[i] & 0x0F]);
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
  auto nibble = [&hex](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::invalid_argument("not hex: " + hex);
  };
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  Receive(bytes);
}

std::vector<std::string> FakePort::TakeSent() {
  std::vector<std::string> out;
  out.swap(sent_);
  return out;
}

}  // namespace ol::testing
