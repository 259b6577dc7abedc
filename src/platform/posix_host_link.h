#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/event_loop.h"
#include "platform/host_link.h"

namespace ol {

// What the receiver has done with the datagrams that reached the link's socket.
struct HostLinkCounts {
  std::uint64_t accepted = 0;     // delivered (or queued for delivery) as messages
  std::uint64_t wrongSize = 0;    // not exactly 12 bytes
  std::uint64_t foreignUser = 0;  // from another user, or without credentials
};

// Window messages between local processes over abstract Unix datagram sockets.
// Handle N of user U is the socket "orderlink/U/hwnd/N"; a message is 12 bytes (message,
// wparam, lparam as little-endian u32) and is accepted only from a process of the same
// user. A receiver thread hands each message to the event loop through Post, so
// OnMessage runs on the loop's thread. Create and destroy the link on the loop's thread;
// once it is destroyed no message reaches OnMessage any more.
class PosixHostLink : public HostLink {
 public:
  // Binds the process id as handle when that name is free, else the next free number.
  explicit PosixHostLink(EventLoop& loop);
  // Binds exactly this handle (non-zero); throws HostLinkError when it is in use.
  PosixHostLink(EventLoop& loop, WindowHandle handle);
  ~PosixHostLink() override;
  PosixHostLink(const PosixHostLink&) = delete;
  PosixHostLink& operator=(const PosixHostLink&) = delete;

  WindowHandle OwnHandle() const override { return handle_; }
  void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
            std::uint32_t lparam) override;
  bool WindowExists(WindowHandle handle) const override;

  HostLinkCounts Counts() const;

  // The socket name of a handle (without the leading NUL of the abstract namespace).
  static std::string SocketName(uid_t uid, WindowHandle handle);

  // The host tells the announcement (own handle twice) from the request (1, 1) and the
  // download (11, 11) notices by value alone, so the gateway never takes a handle up to
  // 16: it starts from its process id and takes the next number that may carry no
  // other meaning.
  static constexpr WindowHandle kFirstOwnHandle = 17;
  static WindowHandle NextOwnHandle(WindowHandle after);
  static WindowHandle FirstOwnHandle(std::uint32_t pid) {
    return pid >= kFirstOwnHandle ? pid : kFirstOwnHandle;
  }

  // Messages handed to the loop but not yet delivered; beyond this the receiver stops
  // reading, so the kernel queue fills and further posts to this handle fail, as posts
  // to a full window queue do.
  static constexpr int kMaxInFlight = 1024;

 private:
  struct Shared;
  void Start();
  void Receive();

  EventLoop& loop_;
  WindowHandle handle_ = 0;
  int socket_ = -1;
  int sender_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::shared_ptr<Shared> shared_;
  std::thread receiver_;
};

}  // namespace ol
