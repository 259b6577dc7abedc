#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/gateway.h"
#include "core/manual_loop.h"
#include "gateway/hex.h"
#include "testing/fake_port.h"
#include "testing/in_memory_host_link.h"
#include "testing/recording_message_box.h"
#include "testing/temp_dir.h"

namespace ol::testing {

inline constexpr WindowHandle kHost = 100;
inline constexpr WindowHandle kOwn = 200;

// The whole gateway on fake ports in virtual time, with a host window on the in-memory
// link. Stations answer the channel query like the real ones.
class AppRig {
 public:
  AppRig() {
    std::filesystem::create_directory(dir.Path() / "TXT");
    WriteBytes(dir.Path() / "TXT" / "JZ.txt", "01 05 ttyS0\r\n02 07 ttyS1\r\n");
    WriteBytes(dir.Path() / "TXT" / "DCJ.txt", "01 005\r\n02 010\r\n");
  }

  void Start() {
    GatewayWorld world{
        loop,
        link,
        boxes,
        [this](int n) {
          auto port = std::make_unique<FakePort>(&loop, n);
          ports[n] = port.get();
          port->onSend = [this, n](const std::string& hex) {
            if (hex == "AA400000BB" && answering[n])
              loop.Post([this, n] { ports[n]->ReceiveHex("AA4F00" + IntToHex(3 + n) + "00BB"); });
          };
          return port;
        },
        dir.Path() / "TXT",
        [this] { return serialPorts; }};
    world.version = version;
    gw = std::make_unique<Gateway>(std::move(world));
    WindowHooks& w = gw->Window();
    w.show = [this] { events.push_back("show"); };
    w.hide = [this] { events.push_back("hide"); };
    w.minimise = [this] { events.push_back("minimise"); };
    w.close = [this] { events.push_back("close"); };
    w.trayAvailable = [this] { return tray; };
    w.trayMessage = [this](const std::string& text) { trayMessages.push_back(text); };
    gw->Announce(kHost);
    gw->FormCreate();
  }

  std::filesystem::path Txt(const char* name) { return dir.Path() / "TXT" / name; }

  std::string version;  // none, as in most tests
  ManualLoop loop;
  TempDir dir;
  InMemoryHostHub hub;
  InMemoryHostLink host{hub, loop, kHost};
  InMemoryHostLink link{hub, loop, kOwn};
  RecordingMessageBox boxes;
  FakePort* ports[6] = {};
  bool answering[6] = {false, true, true, true, true, false};
  bool tray = true;
  std::vector<std::string> serialPorts{"ttyS0", "ttyS1"};
  std::vector<std::string> events;
  std::vector<std::string> trayMessages;
  std::unique_ptr<Gateway> gw;
};

}  // namespace ol::testing
