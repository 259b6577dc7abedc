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

#include "app/program_start.h"
#include "core/text_file.h"
#include "platform/posix_host_link.h"
#include "platform/system_info.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = write(signalPipe[1], &c, 1);
}

// For tests and demonstrations: ORDERLINK_CAPTURE_AT_EXIT=1 saves the station ports'
// traffic into TXT/capture as the program ends, as 保存抓包 does.
void SaveCaptureIfAsked(ol::Gateway& gateway) {
  if (qEnvironmentVariable("ORDERLINK_CAPTURE_AT_EXIT") != QStringLiteral("1")) return;
  try {
    gateway.GetCaptures().SaveNow();
  } catch (const ol::FileError& e) {
    std::fprintf(stderr, "orderlink: cannot save the capture: %s\n", e.what());
  }
}

// The exit status of a start without a display.
constexpr int kNoDisplay = 5;
QtMessageHandler qtHandler = nullptr;

// While the application connects to its display. Qt ends a program that finds none with
// abort(), which the host would take for a crash and the integrator could not read;
// instead the program says why, leaves the reason with the other start failures and ends.
void RefuseWithoutDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (qtHandler) qtHandler(type, context, text);
  if (type != QtFatalMsg) return;
  const std::string reason =
      "无法打开窗口：没有可用的显示（DISPLAY=“" + qEnvironmentVariable("DISPLAY").toStdString() +
      "”，WAYLAND_DISPLAY=“" + qEnvironmentVariable("WAYLAND_DISPLAY").toStdString() +
      "”）。网关未启动。请在图形桌面会话中启动网关；在没有显示的电脑上，可设置环境变量 "
      "QT_QPA_PLATFORM=offscreen，网关即不显示窗口运行。";
  std::fprintf(stderr, "orderlink: %s\n", reason.c_str());
  ol::RecordStartFailure(ol::Utf8Path(ol::ProgramFolder()) / "TXT", reason);
  std::fflush(nullptr);
  std::_Exit(kNoDisplay);
}

class QtEdition : public ol::Edition {
 public:
  explicit QtEdition(QApplication& app) : app_(app) {}

  Parts MakeParts() override {
    link_ = std::make_unique<ol::PosixHostLink>(loop_);
    return {loop_, *link_, boxes_};
  }
  ol::Gateway& MakeWindow(ol::GatewayWorld world) override {
    window_ = std::make_unique<ol::TForm1>(std::move(world), boxes_);
    return window_->Logic();
  }
  void ShowAtStart() override {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  int Run() override {
    // Signals that came before the window was ready wait in the pipe until now.
    if (signalPipe[0] >= 0) {
      auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app_);
      QObject::connect(notifier, &QSocketNotifier::activated, &app_, [this] {
        char buf[16];
        [[maybe_unused]] auto n = read(signalPipe[0], buf, sizeof buf);
        if (window_->Logic().CloseQuery()) QApplication::quit();
      });
    }
    return app_.exec();
  }
  void Finish() override {
    if (!window_) return;
    SaveCaptureIfAsked(window_->Logic());
    // For demonstrations: ORDERLINK_SCREENSHOT_DIR names a folder that receives a picture
    // of each screen as the program ends.
    const QString dir = qEnvironmentVariable("ORDERLINK_SCREENSHOT_DIR");
    if (!dir.isEmpty() && !window_->SaveScreens(dir))
      std::fprintf(stderr, "orderlink: cannot write the screen pictures to %s\n",
                   dir.toLocal8Bit().constData());
    window_.reset();
  }

 private:
  QApplication& app_;
  ol::QtEventLoop loop_;
  std::unique_ptr<ol::PosixHostLink> link_;
  ol::QtMessageBox boxes_;
  std::unique_ptr<ol::TForm1> window_;
};

}  // namespace

int main(int argc, char** argv) {
  qtHandler = qInstallMessageHandler(RefuseWithoutDisplay);
  QApplication app(argc, argv);
  qInstallMessageHandler(qtHandler);
  app.setQuitOnLastWindowClosed(false);
  // SIGTERM and SIGINT are the system's question at log-off or shutdown: the close check
  // alone answers it, once the window exists.
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
  }
  QtEdition edition(app);
  return ol::RunProgram(argc, argv, edition);
}
