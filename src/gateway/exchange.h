#pragma once

#include <cstdint>

namespace ol {

// The exchange with one handheld: poll, request, hand-over to the host, reply,
// confirmation. A poll tick or the start of an upload opens a new one; its confirmation,
// its expiry or the end of its resending closes it. Waits that resume, replies, expiries
// and confirmations act only on the exchange they belong to, which they know by its id.
class Exchange {
 public:
  using Id = std::uint64_t;

  // A poll tick (upload false) or a request-pending answer (upload true); the exchange
  // before it is over.
  Id Open(bool upload) {
    open_ = true;
    upload_ = upload;
    return ++current_;
  }
  void Close(Id id) {
    if (id == current_) open_ = false;
  }

  Id Current() const { return current_; }
  bool IsCurrent(Id id) const { return id == current_; }
  bool IsOpen(Id id) const { return open_ && id == current_; }
  // A handheld's upload, its request with the host or its reply is under way: no poll
  // may interrupt it, one exchange at a time.
  bool Busy() const { return open_ && upload_; }

 private:
  Id current_ = 0;
  bool open_ = false;
  bool upload_ = false;
};

}  // namespace ol
