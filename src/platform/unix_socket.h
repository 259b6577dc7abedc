#pragma once

#include <cstddef>
#include <string>

// Abstract-namespace Unix datagram sockets, shared by the host link and the single
// instance lock. Every socket is close-on-exec, so a started child never inherits a name.
namespace ol::platform {

// Longest abstract name a sockaddr_un can carry.
std::size_t MaxAbstractName();
// A non-blocking datagram socket; throws HostLinkError when none can be made.
int DatagramSocket();
// Asks the kernel to attach the sender's credentials to every datagram received.
void EnableCredentials(int fd);
// Binds fd to the abstract name; returns 0 or the errno (EADDRINUSE when it is taken).
int BindAbstract(int fd, const std::string& name);
// Sends without waiting; failures are ignored.
void SendAbstract(int fd, const std::string& name, const void* data, std::size_t size);
// Whether a datagram socket holds the name: a datagram connect to it succeeds. When
// the test cannot be made at all the answer is true.
bool AbstractNameBound(const std::string& name);

}  // namespace ol::platform
