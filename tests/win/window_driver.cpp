// Drives the native window from a second process, as the host application and the
// operator would: starts orderlink.exe with this program's window as the host, switches
// the screens, adds handhelds on the settings screen, saves, starts a download, and
// checks what the window shows and what the gateway writes. With a picture folder it
// also saves a picture of each screen (win-monitor.png, win-download.png,
// win-settings.png) and of the monitor's decoded view and board (win-traffic.png,
// win-board.png).
//   window_driver <orderlink.exe> [picture folder]
#include <windows.h>

#include <commctrl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "core/version.h"
#include "platform/win32_text.h"
#include "win/control_ids.h"

namespace {

namespace id = ol::win::id;
using ol::Narrow;
using ol::Widen;

HWND gateway = nullptr;
DWORD gatewayPid = 0;
HANDLE process = nullptr;
int failures = 0;
std::vector<std::pair<WPARAM, LPARAM>> received;  // 0x500 messages from the gateway
std::string boxCaption;                           // of the last box taken

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  if (!ok) ++failures;
}

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == 0x500) {
    received.emplace_back(wparam, lparam);
    if (!gateway && wparam == static_cast<WPARAM>(lparam)) gateway = reinterpret_cast<HWND>(wparam);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Serves this process's messages until done() or ms have passed.
bool Until(const std::function<bool()>& done, DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (done()) return true;
    if (static_cast<LONG>(GetTickCount() - end) >= 0) return false;
    Sleep(20);
  }
}
void Pause(DWORD ms) {
  Until([] { return false; }, ms);
}

struct ControlSearch {
  int id;
  HWND found;
};
// Enumeration callbacks are named functions: a lambda converts only to a pointer of the
// default calling convention, which on 32-bit Windows is not the callbacks' stdcall.
BOOL CALLBACK MatchControl(HWND child, LPARAM data) {
  auto* s = reinterpret_cast<ControlSearch*>(data);
  if (GetDlgCtrlID(child) != s->id) return TRUE;
  s->found = child;
  return FALSE;
}

HWND Find(int controlId) {
  ControlSearch search{controlId, nullptr};
  EnumChildWindows(gateway, MatchControl, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string Text(HWND window) {
  wchar_t buffer[4096] = {};
  DWORD_PTR got = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 2000,
                      &got);
  return Narrow(buffer);
}
void SetText(HWND window, const std::string& text) {
  SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
}
bool Shown(int controlId) {
  return (GetWindowLongW(Find(controlId), GWL_STYLE) & WS_VISIBLE) != 0;
}
// A click that may open a message box: posted, so this process does not wait for it.
void Click(int controlId) {
  HWND button = Find(controlId);
  PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}
void Tool(int command) {
  PostMessageW(gateway, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED),
               reinterpret_cast<LPARAM>(Find(id::kToolBar1)));
}
bool ToolEnabled(int command) {
  return SendMessageW(Find(id::kToolBar1), TB_ISBUTTONENABLED, command, 0) != 0;
}

// A status bar part's text, read through memory of the gateway's process: the status
// bar's messages are not carried between processes.
std::string StatusText(int part) {
  void* remote = VirtualAllocEx(process, nullptr, 1024, MEM_COMMIT, PAGE_READWRITE);
  SendMessageW(Find(id::kStatusBar1), SB_GETTEXTW, part, reinterpret_cast<LPARAM>(remote));
  wchar_t local[512] = {};
  ReadProcessMemory(process, remote, local, sizeof local - sizeof(wchar_t), nullptr);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return Narrow(local);
}

// A cell of a report list, read through memory of the gateway's process.
std::string Cell(HWND list, int row, int column) {
  struct Remote {
    LVITEMW item;
    wchar_t text[128];
  };
  auto* remote = static_cast<Remote*>(
      VirtualAllocEx(process, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
  Remote local{};
  local.item.iSubItem = column;
  local.item.pszText = remote->text;
  local.item.cchTextMax = 128;
  WriteProcessMemory(process, remote, &local, sizeof local, nullptr);
  SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
  ReadProcessMemory(process, remote, &local, sizeof local, nullptr);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  local.text[127] = 0;
  return Narrow(local.text);
}

// A report list cell's rectangle on the screen, asked through memory of the gateway's
// process.
RECT CellOnScreen(HWND list, int row, int column) {
  auto* remote = static_cast<RECT*>(
      VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE));
  RECT cell{LVIR_BOUNDS, column, 0, 0};
  WriteProcessMemory(process, remote, &cell, sizeof cell, nullptr);
  SendMessageW(list, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(remote));
  ReadProcessMemory(process, remote, &cell, sizeof cell, nullptr);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&cell), 2);
  return cell;
}

// True when the row's progress cell shows a bar's frame at its own left edge: a bar left
// behind by a scroll or a column resize is somewhere else.
bool BarFramedAt(HWND list, int row) {
  const RECT cell = CellOnScreen(list, row, 1);
  HDC screen = GetDC(nullptr);
  const bool framed =
      GetPixel(screen, cell.left + 2, (cell.top + cell.bottom) / 2) ==
          GetSysColor(COLOR_BTNSHADOW) &&
      GetPixel(screen, cell.left + 1, (cell.top + cell.bottom) / 2) != GetSysColor(COLOR_BTNSHADOW);
  ReleaseDC(nullptr, screen);
  return framed;
}

std::string ListItem(HWND list, int index) {
  wchar_t buffer[64] = {};
  SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(buffer));
  return Narrow(buffer);
}

BOOL CALLBACK MatchGatewayBox(HWND w, LPARAM data) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (pid != gatewayPid || lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(w)) return TRUE;
  *reinterpret_cast<HWND*>(data) = w;
  return FALSE;
}

// Adds the tools of each of the gateway's tooltip windows to the LRESULT at data.
BOOL CALLBACK CountGatewayTools(HWND w, LPARAM data) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  wchar_t cls[32] = {};
  GetClassNameW(w, cls, 32);
  if (pid == gatewayPid && lstrcmpW(cls, TOOLTIPS_CLASSW) == 0)
    *reinterpret_cast<LRESULT*>(data) += SendMessageW(w, TTM_GETTOOLCOUNT, 0, 0);
  return TRUE;
}

// The text of the gateway's open message box, closed with OK; empty when none came.
std::string TakeBox(DWORD ms = 3000) {
  HWND box = nullptr;
  Until(
      [&] {
        EnumWindows(MatchGatewayBox, reinterpret_cast<LPARAM>(&box));
        return box != nullptr;
      },
      ms);
  if (!box) return {};
  const std::string text = Text(GetDlgItem(box, 0xFFFF));
  boxCaption = Text(box);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  Until([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 3000);
  return text;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A picture of the gateway window's client area as the screen shows it (without a
// window manager there is no frame to show).
bool SavePicture(const std::filesystem::path& file) {
  Pause(600);  // the binder's period and the repaint
  RECT r;
  GetClientRect(gateway, &r);
  MapWindowPoints(gateway, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(dc, bitmap);
  BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(dc, old);
  ReleaseDC(nullptr, screen);
  DeleteDC(dc);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  bool saved = false;
  {
    Gdiplus::Bitmap image(bitmap, nullptr);
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<BYTE> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i)
      if (std::wstring(codecs[i].MimeType) == L"image/png")
        saved = image.Save(file.wstring().c_str(), &codecs[i].Clsid, nullptr) == Gdiplus::Ok;
  }
  Gdiplus::GdiplusShutdown(token);
  DeleteObject(bitmap);
  return saved;
}

// Input that comes by other paths than keys and clicks: a paste into a digit field, a
// text another program sets in a digit field or on a drop-down.
void CheckInputPaths(HWND host, const std::filesystem::path& txt) {
  Tool(id::kToolButton4);
  Until([] { return Shown(id::kPanel3); }, 2000);
  HWND padid = Find(id::SlotControl(1, id::kPadId));
  const std::wstring pasted = L"12a3";
  if (OpenClipboard(host)) {
    EmptyClipboard();
    const std::size_t bytes = (pasted.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
      std::memcpy(GlobalLock(memory), pasted.c_str(), bytes);
      GlobalUnlock(memory);
      if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    }
    CloseClipboard();
  }
  SendMessageW(padid, WM_PASTE, 0, 0);
  Check(Until([&] { return Text(padid) == "123"; }, 2000),
        "12a3 pasted into the handheld entry leaves 123 (" + Text(padid) + ")");
  SetText(padid, "4b5");
  Check(Until([&] { return Text(padid) == "45"; }, 2000),
        "4b5 set by another program leaves 45 (" + Text(padid) + ")");
  SetText(padid, "");
  // Ports set on a drop-down's edit and on the drop-down itself: no CBN_EDITCHANGE comes.
  SetText(FindWindowExW(Find(id::SlotControl(1, id::kCommId)), nullptr, L"Edit", nullptr),
          "COM204");
  SetText(Find(id::SlotControl(2, id::kCommId)), "COM203");
  Click(id::kBitBtn2);
  Check(Until([&] { return ReadFile(txt / "JZ.txt") == "01 05 COM204\r\n02 12 COM203\r\n"; }, 5000),
        "ports set on the drop-downs by another program are what the save writes");
  Until([] { return ToolEnabled(id::kToolButton1); }, 10000);
  Click(id::kButton3);
  Until([] { return Shown(id::kPanel1); }, 2000);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver <orderlink.exe> [picture folder]\n");
    return 2;
  }
  const std::filesystem::path exe = argv[1];
  const std::filesystem::path pictures = argc > 2 ? argv[2] : L"";
  const std::filesystem::path txt = exe.parent_path() / "TXT";

  WNDCLASSW wc{};
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"WindowDriverHost";
  RegisterClassW(&wc);
  HWND host = CreateWindowW(L"WindowDriverHost", L"window driver", WS_POPUP, 0, 0, 1, 1, nullptr,
                            nullptr, wc.hInstance, nullptr);
  std::wstring command =
      L"\"" + exe.wstring() + L"\" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(host));
  auto start = [&](PROCESS_INFORMATION& pi) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring line = command;
    return CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          exe.parent_path().c_str(), &si, &pi) != FALSE;
  };
  {
    // A gateway of another login session holds the machine's name (Wine has one session:
    // the name alone plays it). The start is refused in a box and in start-failures.txt,
    // and nothing else in TXT changes.
    auto listing = [&] {
      std::string all;
      for (const auto& e : std::filesystem::directory_iterator(txt))
        if (e.path().filename() != L"start-failures.txt")
          all += Narrow(e.path().filename().wstring()) + ":" + std::to_string(e.file_size()) + ";";
      return all;
    };
    const std::string before = listing();
    HANDLE machine = CreateMutexW(nullptr, FALSE, L"Global\\orderlink/machine/无线点菜机系统");
    PROCESS_INFORMATION other{};
    const bool started = start(other);
    gatewayPid = other.dwProcessId;
    const std::string box = started ? TakeBox() : "";
    DWORD code = 0;
    const bool ended = started && WaitForSingleObject(other.hProcess, 10000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(other.hProcess, &code);
    Check(box.rfind("网关已在另一个用户会话中运行", 0) == 0,
          "another session's gateway: the start is refused in a box");
    const std::wstring line = Widen("网关已在另一个用户会话中运行");
    char gbk[256] = "";
    WideCharToMultiByte(936, 0, line.c_str(), -1, gbk, sizeof gbk, nullptr, nullptr);
    Check(ended && code == 4 &&
              ReadFile(txt / "start-failures.txt").find(gbk) != std::string::npos &&
              listing() == before,
          "...with a line in start-failures.txt, TXT otherwise untouched");
    if (other.hProcess) {
      TerminateProcess(other.hProcess, 1);
      CloseHandle(other.hProcess);
      CloseHandle(other.hThread);
    }
    CloseHandle(machine);
  }
  {
    // A gateway that cannot end (a driver keeps its port's request pending) keeps its name
    // without a window: the name alone plays it. The start says so instead of ending in
    // silence as beside a gateway that serves.
    HANDLE name = CreateMutexW(nullptr, FALSE, L"Local\\orderlink/title/无线点菜机系统");
    PROCESS_INFORMATION other{};
    const bool started = start(other);
    gatewayPid = other.dwProcessId;
    const std::string box = started ? TakeBox(15000) : "";
    DWORD code = 0;
    const bool ended = started && WaitForSingleObject(other.hProcess, 10000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(other.hProcess, &code);
    Check(box.rfind("已有一个网关正在退出", 0) == 0 && ended && code == 5,
          "a gateway that cannot end: the start is refused in a box");
    const std::wstring line = Widen("已有一个网关正在退出");
    char gbk[256] = "";
    WideCharToMultiByte(936, 0, line.c_str(), -1, gbk, sizeof gbk, nullptr, nullptr);
    Check(ReadFile(txt / "start-failures.txt").find(gbk) != std::string::npos,
          "...and in start-failures.txt");
    if (other.hProcess) {
      TerminateProcess(other.hProcess, 1);
      CloseHandle(other.hProcess);
      CloseHandle(other.hThread);
    }
    CloseHandle(name);
  }
  PROCESS_INFORMATION pi{};
  if (!start(pi)) {
    std::fprintf(stderr, "cannot start the gateway\n");
    return 2;
  }
  process = pi.hProcess;
  gatewayPid = pi.dwProcessId;

  Check(Until([] { return gateway != nullptr; }, 20000), "the gateway announces its window");
  if (!gateway) return 1;
  Check(Text(gateway) == "无线点菜机系统", "the window's title");
  wchar_t className[32] = L"";
  GetClassNameW(gateway, className, 32);
  Check(FindWindowW(L"TForm1", L"无线点菜机系统") == gateway,
        "hosts find the window by its class, TForm1 (" + Narrow(className) + ")");
  Check(Until([] { return !IsWindowVisible(gateway); }, 5000), "the window hides after its start");
  {
    // A second start while the gateway runs ends at once, without a word to the host.
    const std::size_t before = received.size();
    PROCESS_INFORMATION second{};
    DWORD code = 1;
    const bool ended = start(second) &&
                       WaitForSingleObject(second.hProcess, 10000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(second.hProcess, &code) && code == 0;
    Pause(300);
    Check(ended && received.size() == before, "a second gateway ends at once, announcing nothing");
    if (second.hProcess) {
      TerminateProcess(second.hProcess, 1);
      CloseHandle(second.hProcess);
      CloseHandle(second.hThread);
    }
  }
  // The host asks for the window (12): it stays shown, so every screen is drawn.
  PostMessageW(gateway, 0x500, 0, 12);
  Check(Until([] { return IsWindowVisible(gateway) != FALSE; }, 3000), "the host's show command");
  Check(StatusText(3) == std::string("版本 ") + ol::kVersion,
        std::string("the status bar's end shows the version ") + ol::kVersion);

  struct Screen {
    int tool;
    int panel;
    const char* status;
  };
  const Screen screens[] = {{id::kToolButton2, id::kPanel2, "下载界面"},
                            {id::kToolButton4, id::kPanel3, "设置界面"}};
  for (const Screen& s : screens) {
    Tool(id::kToolButton1);
    Until([] { return Shown(id::kPanel1); }, 2000);
    Tool(s.tool);
    Check(Until([&] { return Shown(s.panel) && !Shown(id::kPanel1); }, 3000) &&
              StatusText(1) == s.status && !ToolEnabled(id::kToolButton1),
          std::string("screen ") + s.status + " shown, the monitor button locked");
    Click(s.panel == id::kPanel2 ? id::kButton2 : id::kButton3);
    Check(Until([] { return Shown(id::kPanel1) && !Shown(id::kPanel3); }, 3000) &&
              StatusText(1) == "实时监控界面",
          "its exit button returns to the monitor screen");
  }

  // Settings: a handheld added to station 1 and saved.
  Tool(id::kToolButton4);
  Until([] { return Shown(id::kPanel3); }, 2000);
  HWND jzid = Find(id::SlotControl(1, id::kJzId));
  HWND padid = Find(id::SlotControl(1, id::kPadId));
  HWND list = Find(id::SlotControl(1, id::kPadList));
  SetText(jzid, "");
  Check(Until([&] { return Text(jzid) == "01"; }, 2000), "an emptied station ID becomes 01");
  // Tab moves the focus on from the station ID to the next control, the channel box.
  auto focus = [] {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(gateway, nullptr), &info);
    return info.hwndFocus;
  };
  HWND channel = Find(id::SlotControl(1, id::kPdId));
  PostMessageW(jzid, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageW(jzid, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  const bool clicked = Until([&] { return focus() == jzid; }, 2000);
  PostMessageW(jzid, WM_KEYDOWN, VK_TAB, 1);
  PostMessageW(jzid, WM_KEYUP, VK_TAB, 0xC0000001);
  Check(clicked && Until(
                       [&] {
                         HWND f = focus();
                         return f && (f == channel || IsChild(channel, f));
                       },
                       2000),
        "Tab moves the focus from the station ID to the channel box");
  PostMessageW(padid, WM_CHAR, 'x', 0);
  PostMessageW(padid, WM_CHAR, '7', 0);
  Check(Until([&] { return Text(padid) == "7"; }, 2000), "the handheld entry takes digits only");
  Click(id::kBitBtn3);
  Check(Until([&] { return SendMessageW(list, LB_GETCOUNT, 0, 0) == 4; }, 3000) &&
            ListItem(list, 3) == "007" && SendMessageW(list, LB_GETCURSEL, 0, 0) == 3 &&
            Text(padid).empty(),
        "handheld 7 added as 007 and selected, the entry emptied");
  struct Refusal {
    const char* number;
    const char* message;
  };
  for (const Refusal& r :
       {Refusal{"7", "该手持号以存在,请重新输入!"}, Refusal{"192", "手持号不能大于191"}}) {
    SetText(padid, r.number);
    Click(id::kBitBtn3);
    Check(TakeBox() == r.message && SendMessageW(list, LB_GETCOUNT, 0, 0) == 4,
          std::string("handheld ") + r.number + " refused with its message");
  }
  {
    // The settings hints: a tooltip window of the gateway's that holds its tools, which
    // Common Controls before version 6 refuse for the size of the tool record.
    LRESULT tools = 0;
    EnumWindows(CountGatewayTools, reinterpret_cast<LPARAM>(&tools));
    Check(tools > 0, "the settings hints are in place (" + std::to_string(tools) + " tools)");
  }
  Check(boxCaption != "无线点菜机系统" && !boxCaption.empty(),
        "a box has a caption of its own (" + boxCaption + ")");
  Check(!IsWindowEnabled(Find(id::kButton3)), "after an edit only a save leaves the screen");
  Click(id::kBitBtn2);
  {
    // The save closes the ports, and COM11's driver never completes a cancel (the
    // window test runs the gateway with ORDERLINK_FAULT_IGNORE_CANCEL=1): the close waits
    // 2 s for it. The window answers throughout, and the operator learns the port is held.
    DWORD slowest = 0;
    bool answered = true;
    const DWORD end = GetTickCount() + 3000;
    while (static_cast<LONG>(GetTickCount() - end) < 0) {
      const DWORD t0 = GetTickCount();
      DWORD_PTR r = 0;
      answered =
          answered && SendMessageTimeoutW(gateway, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &r) != 0;
      slowest = std::max(slowest, GetTickCount() - t0);
      Pause(50);
    }
    Check(answered && slowest < 1000,
          "the window answers within 1 s while a port's close is stuck (slowest " +
              std::to_string(slowest) + " ms)");
    Check(
        Until([] { return Text(Find(id::kMemo1)).find("一直被占用") != std::string::npos; }, 3000),
        "the operator is told the port stays held");
    // The process cannot end while the request is pending: a restart of the gateway cannot
    // be the cure it names.
    Check(Text(Find(id::kMemo1)).find("请拔下这个串口的USB转串口线") != std::string::npos,
          "...and that pulling the adapter or restarting Windows frees it");
  }
  const std::string dcj = "01 001\r\n01 002\r\n01 005\r\n01 007\r\n02 003\r\n";
  Check(Until([&] { return ReadFile(txt / "DCJ.txt") == dcj; }, 5000), "DCJ.txt written");
  Check(Until([] { return ToolEnabled(id::kToolButton1); }, 10000) &&
            IsWindowEnabled(Find(id::kButton3)),
        "the save unlocks the screen");
  if (!pictures.empty()) Check(SavePicture(pictures / "win-settings.png"), "win-settings.png");
  Click(id::kButton3);

  // Monitor: the station picked in the tree shows its port and status.
  Until([] { return Shown(id::kPanel1); }, 2000);
  HWND tree = Find(id::kTreeView1);
  auto root = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
  SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, root);
  Check(Until(
            [] {
              return Text(Find(id::kEdit2)) == "COM11" && Text(Find(id::kLabel3)) == "基站未连接";
            },
            3000),
        "station 1 picked: its port and status on the bottom bar");
  Check(Until([] { return Text(Find(id::kMemo1)).find("COM201") != std::string::npos; }, 3000),
        "the monitor log shows the port that failed to open");
  if (!pictures.empty()) Check(SavePicture(pictures / "win-monitor.png"), "win-monitor.png");
  Click(id::kSaveCapture);
  auto captured = [&] {
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(txt / "capture", ec))
      if (f.path().extension() == ".pcapng" && ReadFile(f.path()).starts_with("\x0A\x0D\x0D\x0A"))
        return true;
    return false;
  };
  Check(Until(captured, 3000), "保存抓包 writes a pcapng capture into TXT\\capture");
  // The decoded view follows the traffic in words while it is shown, and only then: the
  // host's signals (0x500, any other code) are traffic even without a station.
  auto signals = [] {
    const std::string text = Text(Find(id::kDecodedLog));
    int n = 0;
    for (auto at = text.find("主机通知回复已就绪"); at != std::string::npos;
         at = text.find("主机通知回复已就绪", at + 1))
      ++n;
    return n;
  };
  Click(id::kTrafficView);
  for (int i = 0; i < 2; ++i) PostMessageW(gateway, 0x500, 0, 1);
  Check(
      Until([&] { return signals() == 2; }, 3000) && Shown(id::kTrafficPanel) && !Shown(id::kMemo1),
      "the decoded view shows the host's two signals");
  HWND station = Find(id::kStationFilter);
  Check(SendMessageW(station, CB_GETCOUNT, 0, 0) == 3 &&
            SendMessageW(Find(id::kHandheldFilter), CB_GETCOUNT, 0, 0) == 6,
        "the filters offer every station and handheld");
  SendMessageW(station, CB_SETCURSEL, 1, 0);
  PostMessageW(GetParent(station), WM_COMMAND, MAKEWPARAM(id::kStationFilter, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(station));
  Check(Until([&] { return Text(Find(id::kDecodedLog)).empty(); }, 2000),
        "station 01 picked: the signals, of no station, are filtered out");
  SendMessageW(station, CB_SETCURSEL, 0, 0);
  PostMessageW(GetParent(station), WM_COMMAND, MAKEWPARAM(id::kStationFilter, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(station));
  Until([&] { return signals() == 2; }, 2000);
  Click(id::kCopyTraffic);
  Pause(300);
  std::string copied;
  if (OpenClipboard(nullptr)) {
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
      copied = Narrow(static_cast<const wchar_t*>(GlobalLock(data)));
      GlobalUnlock(data);
    }
    CloseClipboard();
  }
  Check(!copied.empty() && copied == Text(Find(id::kDecodedLog)), "copy takes the decoded text");
  if (!pictures.empty()) Check(SavePicture(pictures / "win-traffic.png"), "win-traffic.png");

  Click(id::kBoardView);
  PostMessageW(gateway, 0x500, 0, 1);
  HWND board = Find(id::kHandheldBoard);
  const char* handhelds[] = {"01 001", "01 002", "01 005", "01 007", "02 003"};
  Check(Until(
            [&] {
              if (SendMessageW(board, LVM_GETITEMCOUNT, 0, 0) != 5) return false;
              for (int r = 0; r < 5; ++r)
                if (Cell(board, r, 0) + " " + Cell(board, r, 1) != handhelds[r]) return false;
              return Cell(Find(id::kStationBoard), 1, 2) == "COM201";
            },
            3000),
        "the board lists the stations and the handhelds of DCJ.txt");
  Pause(1500);
  Check(signals() == 2, "the decoded view rests while the board is shown");
  if (!pictures.empty()) Check(SavePicture(pictures / "win-board.png"), "win-board.png");
  Click(id::kTrafficView);
  Check(Until([&] { return signals() == 3; }, 500), "shown again, it catches up at once");
  Click(id::kRawView);

  // Download: every handheld and one table.
  Tool(id::kToolButton2);
  Until([] { return Shown(id::kPanel2); }, 2000);
  SendMessageW(Find(id::kCheckBox7), BM_CLICK, 0, 0);
  SendMessageW(Find(id::kCheckBox1 + 1), BM_CLICK, 0, 0);
  Click(id::kBitBtn1);
  HWND rows = Find(id::kListView1);
  // The bars are drawn in the list itself: the first row's progress cell holds a frame.
  auto barDrawn = [rows] {
    RECT header{};
    GetWindowRect(FindWindowExW(rows, nullptr, WC_HEADERW, nullptr), &header);
    const int left = header.left + static_cast<int>(SendMessageW(rows, LVM_GETCOLUMNWIDTH, 0, 0));
    const int width = static_cast<int>(SendMessageW(rows, LVM_GETCOLUMNWIDTH, 1, 0));
    HDC screen = GetDC(nullptr);
    bool frame = false;
    for (int x = left; x < left + width && !frame; ++x)
      frame = GetPixel(screen, x, header.bottom + 8) == GetSysColor(COLOR_BTNSHADOW);
    ReleaseDC(nullptr, screen);
    return frame;
  };
  Check(Until([&] { return SendMessageW(rows, LVM_GETITEMCOUNT, 0, 0) == 5; }, 5000) &&
            FindWindowExW(rows, nullptr, PROGRESS_CLASSW, nullptr) == nullptr &&
            Until(barDrawn, 3000),
        "five download rows, each with its progress bar drawn in the list");
  bool told = false;
  for (const auto& [w, l] : received) told = told || (w == 11 && l == 11);
  Check(told, "the host is told of the download (11, 11)");
  if (!pictures.empty()) Check(SavePicture(pictures / "win-download.png"), "win-download.png");
  // More rows than fit: the list made two rows high and scrolled, then its first column
  // widened; each row in view keeps its bar in its own cell.
  {
    RECT list{};
    GetWindowRect(rows, &list);
    const RECT first = CellOnScreen(rows, 0, 1);
    const int rowHeight = first.bottom - first.top;
    SetWindowPos(rows, nullptr, 0, 0, list.right - list.left,
                 static_cast<int>(first.top - list.top) + 2 * rowHeight + 4,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(rows, LVM_SCROLL, 0, 3 * rowHeight);
    const int top = static_cast<int>(SendMessageW(rows, LVM_GETTOPINDEX, 0, 0));
    const bool scrolled = top >= 2 && Until([&] { return BarFramedAt(rows, top); }, 2000);
    const int width = static_cast<int>(SendMessageW(rows, LVM_GETCOLUMNWIDTH, 0, 0));
    SendMessageW(rows, LVM_SETCOLUMNWIDTH, 0, width + 37);
    Check(scrolled && Until([&] { return BarFramedAt(rows, top); }, 2000),
          "rows scrolled and a column widened: the bars stay in their rows' cells");
  }
  Click(id::kButton2);
  CheckInputPaths(host, txt);

  // While its host runs, the gateway refuses the end of the session and only hides.
  DWORD_PTR answer = 1;
  const bool answered =
      SendMessageTimeoutW(gateway, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer) != 0;
  Check(answered && answer == FALSE && Until([] { return !IsWindowVisible(gateway); }, 3000) &&
            WaitForSingleObject(process, 0) == WAIT_TIMEOUT,
        "the system's shutdown query is refused while the host runs, the window hidden");

  // The notification area: the icon is there (a modify of it succeeds), a shell that
  // restarts and forgot it gets it again, and a double-click on it shows the window.
  auto iconThere = [] {
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = gateway;
    d.uID = 1;
    return Shell_NotifyIconW(NIM_MODIFY, &d) != FALSE;
  };
  Check(iconThere(), "the icon is in the notification area");
  {
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = gateway;
    d.uID = 1;
    Shell_NotifyIconW(NIM_DELETE, &d);
  }
  const bool gone = !iconThere();
  PostMessageW(gateway, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  Check(gone && Until(iconThere, 3000), "a restarted shell gets the icon again");
  PostMessageW(gateway, WM_APP + 1, 1, WM_LBUTTONDBLCLK);
  Check(Until([] { return IsWindowVisible(gateway) != FALSE; }, 3000),
        "a double-click on the icon shows the window");

  // The host dies without a word and runs again with a new window: it finds the gateway by
  // class and title, closes it (16), waits for its process to end and starts it with the
  // new window's handle, as the guide says.
  DestroyWindow(host);
  host = CreateWindowW(L"WindowDriverHost", L"window driver", WS_POPUP, 0, 0, 1, 1, nullptr,
                       nullptr, wc.hInstance, nullptr);
  const HWND found = FindWindowW(L"TForm1", L"无线点菜机系统");
  Check(found == gateway, "the restarted host finds the gateway by class and title");
  DWORD foundPid = 0;
  GetWindowThreadProcessId(found, &foundPid);
  HANDLE running = OpenProcess(SYNCHRONIZE, FALSE, foundPid);
  PostMessageW(found, 0x500, 0, 16);
  DWORD code = 1;
  Check(running && WaitForSingleObject(running, 10000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process, &code) && code == 0,
        "the restarted host's close command ends the gateway of the dead host");
  Check(!IsWindow(gateway), "the gateway's window is gone with it");
  if (running) CloseHandle(running);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 1);
  CloseHandle(process);
  CloseHandle(pi.hThread);
  command =
      L"\"" + exe.wstring() + L"\" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(host));
  gateway = nullptr;
  if (!start(pi)) {
    std::fprintf(stderr, "cannot start the gateway again\n");
    return 2;
  }
  process = pi.hProcess;
  Check(Until([] { return gateway != nullptr; }, 20000),
        "the gateway started again announces its window to the new host");
  PostMessageW(gateway, 0x500, 0, 16);
  Check(WaitForSingleObject(process, 10000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process, &code) && code == 0,
        "the host's close command ends the gateway");
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 1);
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
