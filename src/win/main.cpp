// The gateway program, Windows edition: started by the host application with the host's
// window handle as argument 1.
#include <filesystem>
#include <memory>
#include <string>

#include "app/program_start.h"
#include "core/text_file.h"
#include "platform/system_info.h"
#include "platform/win32_event_loop.h"
#include "platform/win32_host_link.h"
#include "platform/win32_text.h"
#include "serial/win32_serial_calls.h"
#include "win/desktop_state.h"
#include "win/main_window.h"

namespace {

constexpr char kFailureCaption[] = "无线点菜机系统 - 启动失败";

class WinEdition : public ol::Edition {
 public:
  // A start that fails must be seen: the program has no console.
  void StartFailed(const std::string& reason, const std::filesystem::path& txt,
                   bool recorded) override {
    // Run as a service, no one sees the box, and it would hold the instance's name until
    // someone clicks it: the line in TXT is all there is to say.
    if (!ol::win::BoxesCanBeSeenNow()) return;
    std::string text = reason;
    if (!recorded) text += "\n\n（此信息也无法写入 " + ol::Narrow(txt.wstring()) + "）";
    MessageBoxW(nullptr, ol::Widen(text).c_str(), ol::Widen(kFailureCaption).c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  }
  std::string CheckTxt(const std::filesystem::path& txt) override;
  Parts MakeParts() override {
    loop_ = std::make_unique<ol::Win32EventLoop>();
    return {*loop_, link_, boxes_};
  }
  ol::Gateway& MakeWindow(ol::GatewayWorld world) override {
    window_ = std::make_unique<ol::win::MainWindow>(std::move(world), boxes_);
    link_.SetOwnWindow(ol::Win32HostLink::FromWindow(window_->Handle()));
    window_->SetMessageHook([this](UINT message, WPARAM wparam, LPARAM lparam) {
      return link_.Deliver(message, wparam, lparam);
    });
    loop_->preTranslate = [this](void* msg) { return window_->Navigate(*static_cast<MSG*>(msg)); };
    window_->onEnd = [this] { loop_->Quit(0); };
    return window_->Logic();
  }
  void ShowAtStart() override { window_->ShowAtStart(); }
  int Run() override { return loop_->Run(); }
  void Finish() override { window_.reset(); }

 private:
  std::unique_ptr<ol::Win32EventLoop> loop_;
  ol::Win32HostLink link_;
  ol::win::Win32MessageBox boxes_;
  std::unique_ptr<ol::win::MainWindow> window_;
};

// Every request passes through TXT\: a folder the gateway cannot write, or one whose
// twin under VirtualStore receives the host's writes, loses orders from the first one on.
// Returns what the operator must be told, kept in the folder too where it can be.
std::string WinEdition::CheckTxt(const std::filesystem::path& txt) {
  std::string problem;
  if (auto reason = ol::CannotWrite(txt)) {
    problem = "网关无法写入文件夹 " + ol::Narrow(txt.wstring()) + "（" + *reason +
              "），点菜请求将无法交给主机。\n\n请把网关和主机程序装在可写的文件夹里（例如 "
              "C:\\点菜系统），不要装在 Program Files 下；或请管理员给这个文件夹写入权限。";
  } else {
    wchar_t local[MAX_PATH] = L"";
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      const auto twin = ol::VirtualStoreTwin(ol::Narrow(local), ol::Narrow(txt.wstring()));
      std::error_code ec;
      if (twin && std::filesystem::is_directory(ol::Utf8Path(*twin), ec))
        problem = "文件夹 " + *twin + " 存在：Windows 把旧版程序（很可能是主机程序）对 " +
                  ol::Narrow(txt.wstring()) +
                  " 的写入转到了那里，主机和网关看到的 TXT 文件夹不同，请求和回复会丢失。\n\n"
                  "请把网关和主机程序装在 Program Files 以外的可写文件夹里，再把那里的文件"
                  "移回 TXT 文件夹。";
    }
  }
  if (!problem.empty()) ol::RecordStartFailure(txt, problem);
  return problem;
}

}  // namespace

int main(int argc, char** argv) {
  ol::ApplySerialFaultsFromEnvironment();
  WinEdition edition;
  return ol::RunProgram(argc, argv, edition);
}
