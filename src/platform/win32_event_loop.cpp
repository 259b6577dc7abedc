#include "platform/win32_event_loop.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace ol {
namespace {

constexpr UINT kRunPosted = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
constexpr wchar_t kClassName[] = L"OrderLinkEventLoop";

thread_local std::exception_ptr kept;

LRESULT CALLBACK LoopProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* loop = reinterpret_cast<Win32EventLoop*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (loop && Win32EventLoop::Guarded([&] { return loop->Handle(message); }, true)) return 0;
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

Win32EventLoop::Win32EventLoop() : start_(std::chrono::steady_clock::now()) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = LoopProc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // fails harmlessly when a second loop registers it again
  window_ =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
  if (!window_) throw std::runtime_error("cannot create the event loop's window");
}

Win32EventLoop::~Win32EventLoop() {
  HWND hwnd = static_cast<HWND>(window_);
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  DestroyWindow(hwnd);
}

Millis Win32EventLoop::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

std::chrono::system_clock::time_point Win32EventLoop::WallClock() const {
  return SystemWallClock();
}

EventLoop::TimerId Win32EventLoop::StartTimer(Millis interval, std::function<void()> tick) {
  TimerId id = timers_.Add(Now(), interval, std::move(tick));
  Rearm();
  return id;
}

void Win32EventLoop::StopTimer(TimerId id) {
  timers_.Remove(id);
  Rearm();
}

void Win32EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(task));
    if (signalled_) return;
    signalled_ = true;
  }
  Signal();
}

void Win32EventLoop::Signal() {
  if (PostMessageW(static_cast<HWND>(window_), kRunPosted, 0, 0)) return;
  // The queue is full: the next Post or timer tick tries again.
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool Win32EventLoop::Handle(unsigned message) {
  if (message == kRunPosted) {
    RunOnePosted();
    return true;
  }
  if (message == WM_TIMER) {
    RunDueTimers();
    return true;
  }
  return false;
}

void Win32EventLoop::RunOnePosted() {
  std::function<void()> task;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (posted_.empty()) {
      signalled_ = false;
      return;
    }
    task = std::move(posted_.front());
    posted_.pop_front();
    more = !posted_.empty();
    signalled_ = more;
  }
  // One task per message, and the message for the rest goes first: a task that waits
  // still sees the work queued behind it.
  if (more) Signal();
  task();
}

void Win32EventLoop::RunDueTimers() {
  for (;;) {
    const auto next = timers_.Next();
    const Millis now = Now();
    if (!next || next->at > now) break;
    auto tick = timers_.TakeDue(*next, now);
    Rearm();  // a tick that waits must still see the other timers
    (*tick)();
  }
  Rearm();
  // Work whose wake-up message could not be queued is picked up here.
  bool stranded;
  {
    std::lock_guard lock(mutex_);
    stranded = !posted_.empty() && !signalled_;
    if (stranded) signalled_ = true;
  }
  if (stranded) Signal();
}

void Win32EventLoop::Rearm() {
  HWND hwnd = static_cast<HWND>(window_);
  const auto next = timers_.Next();
  if (!next) {
    KillTimer(hwnd, kTimerId);
    return;
  }
  const Millis delay = std::clamp<Millis>(next->at - Now(), USER_TIMER_MINIMUM, 0x7FFFFFFF);
  SetTimer(hwnd, kTimerId, static_cast<UINT>(delay), nullptr);
}

void Win32EventLoop::Keep(std::exception_ptr e) {
  if (!kept) kept = std::move(e);
}

void Win32EventLoop::RethrowKept() {
  if (kept) std::rethrow_exception(std::exchange(kept, nullptr));
}

bool Win32EventLoop::DispatchOne(void* raw) {
  // One kept while a system loop (a message box's, a menu's) dispatched.
  RethrowKept();
  MSG& msg = *static_cast<MSG*>(raw);
  if (msg.message == WM_QUIT) {
    quit_ = true;
    exitCode_ = static_cast<int>(msg.wParam);
    EndWaits();
    return false;
  }
  if (preTranslate && preTranslate(&msg)) return true;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  RethrowKept();
  return true;
}

int Win32EventLoop::Run() {
  while (!quit_) {
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (!DispatchOne(&msg)) break;
  }
  return exitCode_;
}

void Win32EventLoop::Quit(int exitCode) {
  PostQuitMessage(exitCode);
}

void Win32EventLoop::Wait(Millis ms) {
  const Millis now = Now();
  const Millis deadline = ms >= INT64_MAX - now ? INT64_MAX : now + ms;
  while (!Ending()) {
    MSG msg;
    // A flood of messages does not stretch the wait: the deadline is checked after each.
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!DispatchOne(&msg)) {
        // Run sees the quit too.
        PostQuitMessage(exitCode_);
        return;
      }
      if (Ending() || Now() >= deadline) return;
    }
    const Millis left = deadline - Now();
    if (left <= 0) return;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<Millis>(left, 0x7FFFFFFF)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace ol
