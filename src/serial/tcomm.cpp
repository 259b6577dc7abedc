#include "serial/tcomm.h"

#include <cstring>
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
    : opener_(std::move(opener)), window_(loop, [this](Notification& m) { WndProc(m); }) {}

TComm::~TComm() {
  ClosePort();
}

void TComm::OpenPort() {
  if (device_) throw ECommsError("This serial port already opened");
  // The back-end raises "Error opening serial port", "File handle is not a comm
  // handle " and "Cannot setup comm buffer" itself.
  std::unique_ptr<SerialDevice> device = opener_(commName_);
  if (!device) throw ECommsError("Error opening serial port");
  device_ = std::move(device);
  lineLostReported_ = false;
  device_->Purge(PURGE_INPUT | PURGE_OUTPUT);
  sendQueueEmpty_ = true;
  ApplyTimeouts();
  ApplyCommState();
  if (!device_->CreateCloseEvent()) {
    device_.reset();
    throw ECommsError("Unable to create event");
  }
  try {
    readThread_ = std::make_unique<TReadThread>(*device_, window_);
    readThread_->Start();
  } catch (const std::exception&) {
    readThread_.reset();
    device_.reset();
    throw ECommsError("Unable to create read thread");
  }
  try {
    writeThread_ = std::make_unique<TWriteThread>(*device_, window_, sendQueueEmpty_);
    writeThread_->Start();
  } catch (const std::exception&) {
    writeThread_.reset();
    device_->SetCloseEvent();
    device_->Purge(PURGE_INPUT);
    readThread_.reset();  // waits for the reader to end
    device_.reset();
    throw ECommsError("Unable to create write thread");
  }
}

void TComm::ClosePort() {
  if (!device_) return;
  if (readThread_) {
    device_->SetCloseEvent();
    device_->Purge(PURGE_INPUT);
    readThread_->WaitFor();
    readThread_.reset();
  }
  if (writeThread_) {
    device_->SetCloseEvent();
    device_->Purge(PURGE_OUTPUT);
    sendQueueEmpty_ = true;
    writeThread_->WaitFor();
    writeThread_.reset();
  }
  device_.reset();
}

bool TComm::SendData(const std::uint8_t* data, std::uint16_t length) {
  if (!writeThread_ || length == 0 || data == nullptr) return false;
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
