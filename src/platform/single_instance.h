#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ol {

// Holds the name "orderlink/U/title/<title>" (U the user id) for as long as the object
// lives, so a second program with the same window title can tell that one already runs.
// The name goes away with the process, however it ends. On Windows the name is a mutex of
// the session, and a top-level window with that title also counts as a running instance;
// a second mutex of the machine (MachineName) finds an instance in another login session,
// whose window this desktop cannot see.
//
// On POSIX the name also tells where the running instance is, as a window's title does on
// Windows: once AnswerWith has given it the window handle, every datagram that reaches the
// name from a process of the same user is answered, to the sender's address, with one
// datagram of 4 bytes, the handle as an unsigned 32-bit little-endian integer. A host that
// was restarted finds its gateway so.
class SingleInstance {
 public:
  // Null when another process holds the name. Throws HostLinkError when the name cannot
  // be tried at all (no socket, or a title too long for a socket name). otherSession, if
  // given, tells whether the holder runs in another login session (only Windows knows).
  static std::unique_ptr<SingleInstance> Acquire(std::string_view titleUtf8,
                                                 bool* otherSession = nullptr);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  // POSIX: answers the askers of the name with handle from now on (once; throws
  // HostLinkError when it cannot). Windows: nothing, the window's title finds it.
  void AnswerWith(std::uint32_t handle);
  SingleInstance& operator=(const SingleInstance&) = delete;

  // How the instance that holds this session's name looks from a start that found it
  // taken. POSIX: always serving (its name answers a restarted host by itself).
  struct HolderLook {
    bool held = false;     // the name (or a window with the title) is still there
    bool window = false;   // its window exists
    bool answers = false;  // the window took a message within a second
  };
  static HolderLook LookAtHolder(std::string_view titleUtf8);

  static std::string SocketName(unsigned uid, std::string_view titleUtf8);
  // Windows: the mutex all sessions see.
  static std::string MachineName(std::string_view titleUtf8);

 private:
  explicit SingleInstance(std::intptr_t held, std::intptr_t machine = 0);
  std::intptr_t held_;  // the socket (POSIX) or the session's mutex handle (Windows)
  [[maybe_unused]] std::intptr_t machine_;  // Windows: the machine's mutex handle
  struct Answerer;
  std::unique_ptr<Answerer> answerer_;  // POSIX: the thread that answers the askers
};

}  // namespace ol
