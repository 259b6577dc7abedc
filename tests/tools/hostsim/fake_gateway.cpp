// A stand-in for the gateway program: announces itself to the host handle in argument 1,
// plays the scenario in scenario.txt beside the program and reports on stdout.
//
// scenario.txt: the first line is the mode, the rest is written as T1.txt.
//   reply        send the request, wait for the reply-ready message, exit 0
//   reply-close  as reply, then wait for the close command and exit 7
//   hang         announce and then wait (up to 60 s) for nothing
// Exit 3: no reply-ready within 10 s; 4: no close within 10 s; 2: bad start.
#include <cstdio>
#include <iostream>
#include <string>

#include "core/real_loop.h"
#include "core/text_file.h"
#include "core/txt_folder.h"
#include "platform/posix_host_link.h"
#include "platform/system_info.h"

int main(int argc, char** argv) {
  using namespace ol;
  if (argc < 2) return 2;
  WindowHandle host = static_cast<WindowHandle>(std::stoul(argv[1]));
  std::string folder = ProgramFolder();
  auto scenario = ReadWholeFile(folder + "scenario.txt");
  if (!scenario) return 2;
  auto nl = scenario->find('\n');
  std::string mode = Trim(scenario->substr(0, nl));
  std::string request = nl == std::string::npos ? "" : scenario->substr(nl + 1);

  RealLoop loop;
  PosixHostLink link(loop);
  TxtFolder txt(folder + "TXT");
  bool replyReady = false, closed = false;
  link.OnMessage = [&](const HostMessage& m) {
    std::cout << "fake gateway: got " << m.message << " " << m.wparam << " " << m.lparam
              << std::endl;
    if (m.lparam == 16) {
      closed = true;
    } else if (m.lparam != 11 && m.lparam != 12) {
      replyReady = true;
    }
  };
  link.Post(host, kHostMessage, link.OwnHandle(), link.OwnHandle());
  if (mode == "hang") {
    loop.RunFor(60000);
    return 5;
  }
  txt.Write("T1.txt", request);
  link.Post(host, kHostMessage, 1, 1);
  if (!loop.RunUntil([&] { return replyReady; }, 10000)) return 3;
  if (mode != "reply-close") return 0;
  return loop.RunUntil([&] { return closed; }, 10000) ? 7 : 4;
}
