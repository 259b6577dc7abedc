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
#include "platform/win32_text.h"
#include "win/main_window.h"

namespace {

constexpr char kFailureCaption[] = "无线点菜机系统 - 启动失败";

// A start that fails must be seen: the program has no console.
void StartFailed(const std::filesystem::path& txt, const std::string& reason) {
  std::string text = reason;
  if (!ol::RecordStartFailure(txt, reason))
    text += "\n\n（此信息也无法写入 " + ol::Narrow(txt.wstring()) + "）";
  std::fprintf(stderr, "orderlink: %s\n", reason.c_str());
  MessageBoxW(nullptr, ol::Widen(text).c_str(), ol::Widen(kFailureCaption).c_str(),
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// Every request passes through TXT\: a folder the gateway cannot write, or one whose
// twin under VirtualStore receives the host's writes, loses orders from the first one on.
// Returns what the operator must be told, kept in the folder too where it can be.
std::string CheckTxtFolder(const std::filesystem::path& txt) {
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
  const std::string folder = ol::ProgramFolder();
  const std::filesystem::path txt = ol::Utf8Path(folder) / "TXT";
  std::unique_ptr<ol::SingleInstance> instance;
  ol::WindowHandle host = 0;
  std::string failure;
  if (auto end = ol::StartProgram(argc, argv, instance, host, failure)) {
    if (!failure.empty()) StartFailed(txt, failure);
    return *end;
  }
  const std::string txtProblem = CheckTxtFolder(txt);

  try {
    ol::Win32EventLoop loop;
    ol::Win32HostLink link;
    ol::win::Win32MessageBox boxes;
    auto recorder = std::make_shared<ol::FlightRecorder>();
    ol::GatewayWorld world{
        loop,  link,
        boxes, [&loop, recorder](int n) { return ol::MakeStationComm(loop, n, recorder); },
        txt,   [] { return ol::ListSerialPorts(); }};
    const ol::SystemFileSync fileSync;
    world.fileSync = &fileSync;
    world.recorder = recorder;
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
    // In the running loop, so that the stations are served while the box is open.
    if (!txtProblem.empty()) loop.Post([&boxes, txtProblem] { boxes.Show(txtProblem); });
    return loop.Run();
  } catch (const std::exception& e) {
    StartFailed(txt, std::string("网关出错停止：") + e.what());
    return 3;
  }
}
