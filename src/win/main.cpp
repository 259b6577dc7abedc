// The gateway program, Windows edition: started by the host application with the host's
// window handle as argument 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "app/station_ports.h"
#include "platform/file_sync.h"
#include "platform/single_instance.h"
#include "platform/system_info.h"
#include "platform/win32_event_loop.h"
#include "platform/win32_host_link.h"
#include "win/main_window.h"

namespace {

// Argument 1 as a window handle: a decimal number from 1 to 2^32 - 1.
bool ParseHandle(const char* text, ol::WindowHandle& handle) {
  std::string s(text);
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long long v = std::stoull(s);
  if (v == 0 || v > 0xFFFFFFFFull) return false;
  handle = static_cast<ol::WindowHandle>(v);
  return true;
}

std::filesystem::path FromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  // Held from before the window exists to the end of the process, so two starts at the
  // same moment cannot both run.
  std::unique_ptr<ol::SingleInstance> instance;
  try {
    instance = ol::SingleInstance::Acquire(ol::Gateway::kTitle);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orderlink: %s\n", e.what());
    return 3;
  }
  if (!instance) return 0;
  if (argc < 2) return 0;
  ol::WindowHandle host = 0;
  if (!ParseHandle(argv[1], host)) {
    std::fprintf(stderr,
                 "orderlink: argument 1 must be the host window handle, a decimal number "
                 "from 1 to 4294967295; got \"%s\"\n",
                 argv[1]);
    return 2;
  }

  try {
    ol::Win32EventLoop loop;
    ol::Win32HostLink link;
    ol::win::Win32MessageBox boxes;
    const std::string folder = ol::ProgramFolder();
    ol::GatewayWorld world{loop,
                           link,
                           boxes,
                           [&loop](int n) { return ol::MakeStationComm(loop, n); },
                           FromUtf8(folder) / "TXT",
                           [] { return ol::ListSerialPorts(); }};
    const ol::SystemFileSync fileSync;
    world.fileSync = &fileSync;
    ol::win::MainWindow window(std::move(world), boxes);
    link.SetOwnWindow(ol::Win32HostLink::FromWindow(window.Handle()));
    window.SetMessageHook([&link](UINT message, WPARAM wparam, LPARAM lparam) {
      return link.Deliver(message, wparam, lparam);
    });
    window.onEnd = [&loop] { loop.Quit(0); };
    // Shown in front, so its start-up activation comes and the window hides itself.
    window.ShowAtStart();
    // The host learns our handle before the first station port opens, so a request that
    // arrives during the start-up already reaches it.
    window.Logic().Announce(host);
    window.Logic().FormCreate();
    // A close accepted during the start-up found no running loop to quit.
    if (window.Logic().Ended()) return 0;
    return loop.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orderlink: %s\n", e.what());
    return 3;
  }
}
