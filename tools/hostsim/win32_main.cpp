// The substitute host, Windows edition: a hidden message window is its handle; it starts
// the gateway with that handle as argument 1 and answers it as the Linux edition does.
// Commands (show, close, quit) come on standard input, Ctrl+C quits.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "core/text_file.h"
#include "hostsim/host_session.h"
#include "hostsim/options.h"
#include "platform/win32_event_loop.h"
#include "platform/win32_host_link.h"
#include "platform/win32_text.h"

namespace {

using namespace ol;

constexpr UINT kCommand = WM_APP + 1;  // LPARAM: a std::string* the window takes over

HWND hostWindow = nullptr;
Win32HostLink* hostLink = nullptr;
std::function<void(const std::string&)> onCommand;

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (hostLink && hostLink->Deliver(message, wparam, lparam)) return 0;
  if (message == kCommand) {
    std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(lparam));
    if (onCommand) onCommand(*line);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Safe from any thread, also once the window is gone: the line is then dropped.
void PostCommand(std::string line) {
  auto* heap = new std::string(std::move(line));
  if (!PostMessageW(hostWindow, kCommand, 0, reinterpret_cast<LPARAM>(heap))) delete heap;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  PostCommand("quit");
  return TRUE;
}

// Left running when the program ends: a read of standard input cannot be called off.
void ReadCommands() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buf[256];
  DWORD n = 0;
  while (ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
    pending.append(buf, n);
    for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
      PostCommand(Trim(pending.substr(0, nl)));
      pending.erase(0, nl + 1);
    }
    if (pending.size() > 4096) pending.clear();  // no line is that long
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  hostsim::Options parsed;
  hostsim::ReplyTable replies;
  if (auto end = hostsim::PrepareRun(args, parsed, replies)) return *end;
  auto* options = &parsed;
  if (options->handle != 0) {
    std::cerr << "orderlink-hostsim: --handle: here the handle is the host's own window\n";
    return 2;
  }

  Win32EventLoop loop;
  WNDCLASSW wc{};
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"OrderLinkSubstituteHost";
  RegisterClassW(&wc);
  hostWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
  if (!hostWindow) {
    std::cerr << "orderlink-hostsim: cannot create the host window\n";
    return 2;
  }
  Win32HostLink link;
  link.SetOwnWindow(Win32HostLink::FromWindow(hostWindow));
  hostLink = &link;

  auto say = [&loop](const std::string& line) {
    std::cout << hostsim::Stamped(loop.Now(), line) << std::endl;
  };
  hostsim::HostSession session(
      loop, link, TxtFolder(Utf8Path(hostsim::TxtFolderFor(*options))), replies,
      {options->replyDelay, options->closeAfter, options->showAfter, options->keepRequests}, say);

  const std::string handleText = std::to_string(link.OwnHandle());
  say("host handle " + handleText + ", TXT folder " + hostsim::TxtFolderFor(*options));
  say("starting " + options->gateway + " " + handleText);
  std::wstring commandLine = L"\"" + Widen(options->gateway) + L"\" " + Widen(handleText);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(Widen(options->gateway).c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      0, nullptr, nullptr, &si, &pi)) {
    std::cerr << "orderlink-hostsim: cannot start " << options->gateway << " (error "
              << GetLastError() << ")\n";
    return 2;
  }
  CloseHandle(pi.hThread);

  bool exited = false;
  std::thread waiter([&loop, &exited, process = pi.hProcess] {
    WaitForSingleObject(process, INFINITE);
    loop.Post([&loop, &exited] {
      exited = true;
      loop.Quit();
    });
  });

  // Leaving first: ask the gateway to close as a host does, and stop it if it does not,
  // so it never outlives its host. The loop ends when the gateway has.
  hostsim::RunEnd end = hostsim::RunEnd::Gateway;
  bool leaving = false;
  auto leave = [&](hostsim::RunEnd why) {
    if (leaving || exited) return;
    leaving = true;
    end = why;
    session.Close();
    loop.StartTimer(3000, [&] {
      if (exited) return;
      say("gateway does not close; stopping it");
      TerminateProcess(pi.hProcess, 1);
    });
  };
  if (options->timeout >= 0) {
    loop.StartTimer(options->timeout, [&] {
      say("timeout");
      leave(hostsim::RunEnd::Timeout);
    });
  }
  onCommand = [&](const std::string& line) {
    if (session.Command(line)) leave(hostsim::RunEnd::Quit);
  };
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  std::thread(ReadCommands).detach();

  loop.Run();
  waiter.join();
  onCommand = nullptr;
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  say("gateway exited with status " + std::to_string(code) + ", " +
      std::to_string(session.RepliesSent()) + " replies sent");
  DestroyWindow(hostWindow);
  return hostsim::ExitCodeFor(end, static_cast<int>(code));
}
