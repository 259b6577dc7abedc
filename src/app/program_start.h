#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/event_loop.h"
#include "core/message_box.h"
#include "platform/host_link.h"
#include "platform/single_instance.h"

namespace ol {

class Gateway;
struct GatewayWorld;

// What an edition brings to the start both editions share (RunProgram).
class Edition {
 public:
  struct Parts {
    EventLoop& loop;
    HostLink& host;
    MessageBoxService& boxes;
  };
  virtual ~Edition() = default;
  // Tells a start that failed where the integrator looks, beyond the standard error and
  // the TXT folder; recorded says whether the folder took it.
  virtual void StartFailed(const std::string& /*reason*/, const std::filesystem::path& /*txt*/,
                           bool /*recorded*/) {}
  // What the operator must be told about the TXT folder once the program runs; empty
  // when nothing.
  virtual std::string CheckTxt(const std::filesystem::path& /*txt*/) { return {}; }
  // Makes the event loop, the host link and the message boxes; may throw.
  virtual Parts MakeParts() = 0;
  // Makes the window, not yet shown, over a gateway of world; may throw.
  virtual Gateway& MakeWindow(GatewayWorld world) = 0;
  // Shows the window in front, so its start-up activation comes and it hides itself.
  virtual void ShowAtStart() = 0;
  // Serves events until the program is to end; the exit status.
  virtual int Run() = 0;
  // Closes the window and its gateway, whether the program ran or not.
  virtual void Finish() = 0;
};

// The program's start and life, the same in both editions: one instance, the host's
// handle, the gateway over the station ports and the TXT folder beside the program, the
// host told our handle before the first station port opens, then the edition's loop.
// A start that fails is told and kept in the TXT folder. Returns the exit status.
int RunProgram(int argc, char** argv, Edition& edition);

// What both editions do before anything else: one instance per session (on Windows per
// machine: another session's refuses the start visibly), held from before
// the window exists to the end of the process, and argument 1 as the host's window handle.
// Returns the exit code when the program must end now, nothing when it goes on; a start
// refused for a reason the integrator must see leaves it in failure.
std::optional<int> StartProgram(int argc, char** argv, std::unique_ptr<SingleInstance>& instance,
                                WindowHandle& host, std::string& failure);

// What a start that found the instance name taken makes of its holder.
enum class Holder {
  Serving,       // its window answers: the start ends without a word, as hosts expect
  Gone,          // it ended meanwhile: the start may take its place
  Ending,        // the name stays but the window is gone: a process Windows cannot end
  NotAnswering,  // the window is there but takes no message
};
// Looks at the holder up to `looks` times with a pause between: an instance that is still
// starting has no window yet, so only a holder that stays without an answering window is
// ending or hung.
Holder WatchHolder(const std::function<SingleInstance::HolderLook()>& look,
                   const std::function<void()>& pause, int looks);

// Argument 1: a decimal handle from 1 to 2^32 - 1, or the same handle printed as a signed
// 32-bit number (-1 to -2^31), as hosts that keep handles in an int print those at or
// above 0x80000000.
std::optional<WindowHandle> ParseHostHandle(std::string_view text);

// A start that failed leaves its reason, with the time, as a line of kStartFailures in
// the TXT folder, since a program without a console has nowhere else to say it. False when
// the line could not be written.
inline constexpr const char* kStartFailures = "start-failures.txt";
bool RecordStartFailure(const std::filesystem::path& txt, const std::string& utf8Reason);

// Whether a file can be written into folder (made when missing) the way the gateway
// writes its files, through a temporary renamed into place; the reason when not.
std::optional<std::string> CannotWrite(const std::filesystem::path& folder);

// Where Windows sends a legacy 32-bit program's writes to folder when it virtualises them:
// the same path, without its drive, under localAppData\VirtualStore. Nothing for a path
// that starts with no drive letter (a network share is never virtualised).
std::optional<std::string> VirtualStoreTwin(std::string_view localAppData, std::string_view folder);

}  // namespace ol
