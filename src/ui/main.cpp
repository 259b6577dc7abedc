// The gateway program: started by the host application with the host's window handle
// as argument 1.
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/program_start.h"
#include "app/station_ports.h"
#include "platform/file_sync.h"
#include "platform/posix_host_link.h"
#include "platform/single_instance.h"
#include "platform/system_info.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = write(signalPipe[1], &c, 1);
}

// For demonstrations: ORDERLINK_SCREENSHOT_DIR names a folder that receives a picture of
// each screen as the program ends.
void SaveScreensIfAsked(ol::TForm1& window) {
  const QString dir = qEnvironmentVariable("ORDERLINK_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  if (!window.SaveScreens(dir))
    std::fprintf(stderr, "orderlink: cannot write the screen pictures to %s\n",
                 dir.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  // SIGTERM and SIGINT are the system's question at log-off or shutdown: the close check
  // alone answers it, once the window exists.
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
  }

  const std::string folder = ol::ProgramFolder();
  const std::filesystem::path txt = std::filesystem::path(folder) / "TXT";
  // A failed start is told on the standard error and kept in the TXT folder.
  auto failed = [&txt](const std::string& reason, int code) {
    std::fprintf(stderr, "orderlink: %s\n", reason.c_str());
    ol::RecordStartFailure(txt, reason);
    return code;
  };
  std::unique_ptr<ol::SingleInstance> instance;
  ol::WindowHandle host = 0;
  std::string failure;
  if (auto end = ol::StartProgram(argc, argv, instance, host, failure))
    return failure.empty() ? *end : failed(failure, *end);

  ol::QtEventLoop loop;
  std::unique_ptr<ol::PosixHostLink> link;
  try {
    link = std::make_unique<ol::PosixHostLink>(loop);
  } catch (const std::exception& e) {
    return failed(std::string("网关出错停止：") + e.what(), 3);
  }
  ol::QtMessageBox boxes;
  // ORDERLINK_RECORDER=off runs without the flight recorder, so that a benchmark can tell
  // what it costs; 保存抓包 then says there is nothing recorded.
  std::shared_ptr<ol::FlightRecorder> recorder;
  if (qEnvironmentVariable("ORDERLINK_RECORDER") != QStringLiteral("off"))
    recorder = std::make_shared<ol::FlightRecorder>();
  ol::GatewayWorld world{
      loop,  *link,
      boxes, [&loop, recorder](int n) { return ol::MakeStationComm(loop, n, recorder); },
      txt,   [] { return ol::ListSerialPorts(); }};
  const ol::SystemFileSync fileSync;
  world.fileSync = &fileSync;
  world.recorder = recorder;
  std::unique_ptr<ol::TForm1> window;
  try {
    window = std::make_unique<ol::TForm1>(std::move(world), boxes);
  } catch (const std::exception& e) {
    return failed(std::string("网关出错停止：") + e.what(), 3);
  }
  // Shown in front, as every show of the main window is, so its start-up activation
  // comes and the window hides itself into the tray.
  window->show();
  window->raise();
  window->activateWindow();
  // The host learns our handle before the first station port opens, so a request that
  // arrives during the start-up already reaches it.
  window->Logic().Announce(host);
  window->Logic().FormCreate();
  // A close accepted during the start-up found no running loop to quit.
  if (window->Logic().Ended()) {
    SaveScreensIfAsked(*window);
    return 0;
  }

  // Signals that came before the window was ready wait in the pipe until now.
  if (signalPipe[0] >= 0) {
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&window] {
      char buf[16];
      [[maybe_unused]] auto n = read(signalPipe[0], buf, sizeof buf);
      if (window->Logic().CloseQuery()) QApplication::quit();
    });
  }
  const int status = app.exec();
  SaveScreensIfAsked(*window);
  window.reset();
  return status;
}
