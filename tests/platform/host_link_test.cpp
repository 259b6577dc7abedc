#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/manual_loop.h"
#include "core/real_loop.h"
#include "platform/posix_host_link.h"

namespace ol {
namespace {

// A raw socket that plays a foreign program on the link, so the wire format is checked
// against bytes written here rather than by the link itself.
class RawPeer {
 public:
  RawPeer() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~RawPeer() { ::close(fd_); }
  static sockaddr_un Address(WindowHandle to, socklen_t& len) {
    std::string name = PosixHostLink::SocketName(::getuid(), to);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return addr;
  }
  bool Send(WindowHandle to, const std::vector<unsigned char>& bytes) {
    socklen_t len;
    sockaddr_un addr = Address(to, len);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), len) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Bind(WindowHandle as) {
    socklen_t len;
    sockaddr_un addr = Address(as, len);
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  // Blocks up to 5 s for one datagram.
  std::vector<unsigned char> Receive() {
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<unsigned char> buf(64);
    ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return buf;
  }

 private:
  int fd_;
};

const std::vector<unsigned char> kReplyReady = {0x00, 0x05, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};

// Spins until pred holds or 5 s pass; for conditions that no event loop signals.
bool WaitFor(const std::function<bool()>& pred) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

struct Received {
  std::vector<HostMessage> messages;
  std::vector<std::thread::id> threads;
  void Attach(HostLink& link) {
    link.OnMessage = [this](const HostMessage& m) {
      messages.push_back(m);
      threads.push_back(std::this_thread::get_id());
    };
  }
};

TEST(PosixHostLink, PostedMessagesArriveInOrderOnTheLoopThread) {
  RealLoop loop;
  PosixHostLink a(loop), b(loop);
  Received got;
  got.Attach(b);
  a.Post(b.OwnHandle(), 0x500, a.OwnHandle(), a.OwnHandle());
  a.Post(b.OwnHandle(), 0x500, 1, 1);
  a.Post(b.OwnHandle(), 0xFFFFFFFFu, 0x80000000u, 0x12345678u);
  ASSERT_TRUE(loop.RunUntil([&] { return got.messages.size() == 3; }, 5000));
  EXPECT_EQ(got.messages[0].wparam, a.OwnHandle());
  EXPECT_EQ(got.messages[0].lparam, a.OwnHandle());
  EXPECT_EQ(got.messages[1].message, 0x500u);
  EXPECT_EQ(got.messages[1].wparam, 1u);
  EXPECT_EQ(got.messages[2].message, 0xFFFFFFFFu);
  EXPECT_EQ(got.messages[2].wparam, 0x80000000u);
  EXPECT_EQ(got.messages[2].lparam, 0x12345678u);
  for (auto id : got.threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(b.Counts().accepted, 3u);
}

TEST(PosixHostLink, WireFormatIsTwelveLittleEndianBytes) {
  RealLoop loop;
  PosixHostLink link(loop);
  Received got;
  got.Attach(link);

  RawPeer peer;
  ASSERT_TRUE(peer.Send(link.OwnHandle(), {0x00, 0x05, 0x00, 0x00,     // message 0x500
                                           0x10, 0x00, 0x00, 0x00,     // wparam 16
                                           0x78, 0x56, 0x34, 0x12}));  // lparam 0x12345678
  ASSERT_TRUE(loop.RunUntil([&] { return got.messages.size() == 1; }, 5000));
  EXPECT_EQ(got.messages[0].message, 0x500u);
  EXPECT_EQ(got.messages[0].wparam, 16u);
  EXPECT_EQ(got.messages[0].lparam, 0x12345678u);

  // And what the link sends, to a handle held by a plain socket.
  RawPeer target;
  WindowHandle targetHandle = link.OwnHandle() ^ 0x40000000u;
  ASSERT_TRUE(target.Bind(targetHandle));
  EXPECT_TRUE(link.WindowExists(targetHandle));
  link.Post(targetHandle, 0x500, 0x01020304u, 12);
  EXPECT_EQ(target.Receive(), (std::vector<unsigned char>{0x00, 0x05, 0x00, 0x00, 0x04, 0x03, 0x02,
                                                          0x01, 0x0C, 0x00, 0x00, 0x00}));
}

TEST(PosixHostLink, DatagramsOfOtherSizesAreDropped) {
  RealLoop loop;
  PosixHostLink link(loop);
  Received got;
  got.Attach(link);
  RawPeer peer;
  std::vector<unsigned char> eleven(kReplyReady.begin(), kReplyReady.end() - 1);
  std::vector<unsigned char> thirteen = kReplyReady;
  thirteen.push_back(0);
  std::vector<unsigned char> twentyFour = kReplyReady;
  twentyFour.insert(twentyFour.end(), kReplyReady.begin(), kReplyReady.end());
  ASSERT_TRUE(peer.Send(link.OwnHandle(), eleven));
  ASSERT_TRUE(peer.Send(link.OwnHandle(), thirteen));
  ASSERT_TRUE(peer.Send(link.OwnHandle(), twentyFour));
  ASSERT_TRUE(peer.Send(link.OwnHandle(), {}));
  ASSERT_TRUE(peer.Send(link.OwnHandle(), kReplyReady));
  ASSERT_TRUE(loop.RunUntil([&] { return !got.messages.empty(); }, 5000));
  loop.RunFor(20);  // nothing else may follow
  ASSERT_EQ(got.messages.size(), 1u);
  EXPECT_EQ(got.messages[0].lparam, 1u);
  EXPECT_EQ(link.Counts().wrongSize, 4u);
  EXPECT_EQ(link.Counts().accepted, 1u);
}

TEST(PosixHostLink, DatagramFromAnotherUserIsDropped) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  RealLoop loop;
  PosixHostLink link(loop);
  Received got;
  got.Attach(link);

  // Everything the child needs is prepared before the fork: after it only
  // async-signal-safe calls are allowed.
  socklen_t len;
  sockaddr_un addr = RawPeer::Address(link.OwnHandle(), len);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ssize_t n = ::sendto(fd, kReplyReady.data(), kReplyReady.size(), 0,
                         reinterpret_cast<sockaddr*>(&addr), len);
    ::_exit(n == 12 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child could not send";

  // A message of our own after it: once it is in, the foreign one has been judged.
  RawPeer own;
  ASSERT_TRUE(own.Send(link.OwnHandle(), {0x00, 0x05, 0, 0, 7, 0, 0, 0, 7, 0, 0, 0}));
  ASSERT_TRUE(loop.RunUntil([&] { return !got.messages.empty(); }, 5000));
  loop.RunFor(20);
  ASSERT_EQ(got.messages.size(), 1u);
  EXPECT_EQ(got.messages[0].wparam, 7u);
  EXPECT_EQ(link.Counts().foreignUser, 1u);
}

TEST(PosixHostLink, WindowExistsWhileItsLinkLives) {
  RealLoop loop;
  PosixHostLink a(loop);
  WindowHandle gone;
  {
    PosixHostLink b(loop);
    gone = b.OwnHandle();
    EXPECT_TRUE(a.WindowExists(gone));
    EXPECT_TRUE(a.WindowExists(a.OwnHandle()));
  }
  EXPECT_FALSE(a.WindowExists(gone));
  EXPECT_FALSE(a.WindowExists(0));
  // Posting to a vanished window fails silently.
  a.Post(gone, 0x500, 1, 1);
}

TEST(PosixHostLink, ChildProcessesDoNotInheritTheName) {
  RealLoop loop;
  PosixHostLink observer(loop);
  WindowHandle handle;
  pid_t child;
  {
    PosixHostLink link(loop);
    handle = link.OwnHandle();
    char arg0[] = "sleep", arg1[] = "10";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
  }
  // A socket leaked into the child would keep the window alive after the link is gone.
  // The kernel lets the spawner go on a moment before the child has closed its
  // close-on-exec descriptors, hence the wait; a leaked one would hold for the 10 s.
  EXPECT_TRUE(WaitFor([&] { return !observer.WindowExists(handle); }));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST(PosixHostLink, OwnHandleIsThePidOrTheNextFreeNumber) {
  RealLoop loop;
  auto pid = PosixHostLink::FirstOwnHandle(static_cast<std::uint32_t>(::getpid()));
  // A test process running beside this one whose pid is one less takes this pid as its
  // second handle.
  if (PosixHostLink probe(loop, 1u << 31); probe.WindowExists(pid) || probe.WindowExists(pid + 1))
    GTEST_SKIP() << "another process holds handle " << pid << " or " << pid + 1;
  {
    PosixHostLink first(loop);
    EXPECT_EQ(first.OwnHandle(), pid);
    PosixHostLink second(loop);
    EXPECT_EQ(second.OwnHandle(), pid + 1);
  }
  PosixHostLink taken(loop, pid);
  PosixHostLink fallback(loop);
  EXPECT_EQ(fallback.OwnHandle(), pid + 1);
}

// A process id of 1 or 11 would make the announcement read as a request or download
// notice: no own handle ever takes a value that a message carries with a meaning.
TEST(PosixHostLink, OwnHandlesSkipTheValuesMessagesGiveAMeaning) {
  for (std::uint32_t pid : {0u, 1u, 11u, 12u, 16u}) {
    WindowHandle h = PosixHostLink::FirstOwnHandle(pid);
    EXPECT_EQ(h, 17u) << pid;
  }
  EXPECT_EQ(PosixHostLink::FirstOwnHandle(4242), 4242u);
  EXPECT_EQ(PosixHostLink::NextOwnHandle(4242), 4243u);
  EXPECT_EQ(PosixHostLink::NextOwnHandle(0xFFFFFFFFu), 17u);  // wraps past the reserved
}

TEST(PosixHostLink, BindingAHandleInUseFails) {
  RealLoop loop;
  PosixHostLink a(loop);
  EXPECT_THROW(PosixHostLink(loop, a.OwnHandle()), HostLinkError);
  EXPECT_THROW(PosixHostLink(loop, 0), HostLinkError);
  PosixHostLink chosen(loop, 4000000001u);
  EXPECT_EQ(chosen.OwnHandle(), 4000000001u);
  EXPECT_TRUE(a.WindowExists(4000000001u));
}

TEST(PosixHostLink, NothingIsDeliveredAfterTheLinkIsGone) {
  ManualLoop loop;  // holds posted work until RunPending
  PosixHostLink sender(loop);
  int calls = 0;
  {
    PosixHostLink receiver(loop);
    receiver.OnMessage = [&](const HostMessage&) { ++calls; };
    sender.Post(receiver.OwnHandle(), 0x500, 1, 1);
    ASSERT_TRUE(WaitFor([&] { return receiver.Counts().accepted == 1; }));
  }
  loop.RunPending();
  EXPECT_EQ(calls, 0);
}

TEST(PosixHostLink, AFloodIsHeldBackNotLost) {
  ManualLoop loop;
  PosixHostLink link(loop);
  std::vector<std::uint32_t> got;
  link.OnMessage = [&](const HostMessage& m) { got.push_back(m.wparam); };
  const int total = PosixHostLink::kMaxInFlight + 300;
  std::atomic<int> sent{0};
  std::thread flood([&] {
    // A blocking sender waits while the receiver's queue is full, so nothing is lost.
    RawPeer peer;
    for (int i = 0; i < total; ++i) {
      std::vector<unsigned char> m = kReplyReady;
      m[4] = static_cast<unsigned char>(i);
      m[5] = static_cast<unsigned char>(i >> 8);
      if (!peer.Send(link.OwnHandle(), m)) break;
      ++sent;
    }
  });
  ASSERT_TRUE(WaitFor([&] { return link.Counts().accepted == PosixHostLink::kMaxInFlight; }));
  // The loop has not run: the receiver stops at the limit and the sender is held back.
  EXPECT_EQ(link.Counts().accepted, static_cast<std::uint64_t>(PosixHostLink::kMaxInFlight));
  EXPECT_LT(sent.load(), total);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < static_cast<std::size_t>(total) && std::chrono::steady_clock::now() < end) {
    loop.RunPending();
    std::this_thread::yield();
  }
  flood.join();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(total));
  for (int i = 0; i < total; ++i) ASSERT_EQ(got[i], static_cast<std::uint32_t>(i));
}

}  // namespace
}  // namespace ol
