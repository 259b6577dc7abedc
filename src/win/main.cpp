// The gateway program, Windows edition: started by the host application with the host's
// window handle as argument 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "app/program_start.h"
#include "app/station_ports.h"
#include "core/text_file.h"
#include "platform/file_sync.h"
#include "platform/single_instance.h"
#include "platform/system_info.h"
#include "platform/win32_event_loop.h"
#include "platform/win32_host_link.h"
#include "win/main_window.h"

int main(int argc, char** argv) {
  std::unique_ptr<ol::SingleInstance> instance;
  ol::WindowHandle host = 0;
  if (auto end = ol::StartProgram(argc, argv, instance, host)) return *end;

  try {
    ol::Win32EventLoop loop;
    ol::Win32HostLink link;
    ol::win::Win32MessageBox boxes;
    const std::string folder = ol::ProgramFolder();
    ol::GatewayWorld world{loop,
                           link,
                           boxes,
                           [&loop](int n) { return ol::MakeStationComm(loop, n); },
                           ol::Utf8Path(folder) / "TXT",
                           [] { return ol::ListSerialPorts(); }};
    const ol::SystemFileSync fileSync;
    world.fileSync = &fileSync;
    ol::win::MainWindow window(std::move(world), boxes);
    link.SetOwnWindow(ol::Win32HostLink::FromWindow(window.Handle()));
    window.SetMessageHook([&link](UINT message, WPARAM wparam, LPARAM lparam) {
      return link.Deliver(message, wparam, lparam);
    });
    loop.preTranslate = [&window](void* msg) { return window.Navigate(*static_cast<MSG*>(msg)); };
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
