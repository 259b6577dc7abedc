#pragma once

#include <windows.h>

#include <shellapi.h>

#include <deque>
#include <optional>
#include <string>

// What the desktop allows the gateway to show, and in which colours: each question to
// Windows is split from the decision made on its answer, so the decisions can be tried
// with answers Wine never gives (a presentation running, High Contrast, session 0).
namespace ol::win {

// --- Tray balloons ----------------------------------------------------------------------

// Whether a balloon may be shown now. SHQueryUserNotificationState: "Notifications should
// only be displayed if this API returns QNS_ACCEPTS_NOTIFICATIONS." A query that fails
// (no shell to ask) holds nothing back.
bool MayNotify(HRESULT queried, QUERY_USER_NOTIFICATION_STATE state);
bool MayNotifyNow();

// Balloons that wait, in their order, while the user must not be interrupted (a program
// full screen, a presentation, quiet hours), to be shown once notifications are accepted.
class HeldBalloons {
 public:
  static constexpr std::size_t kMax = 16;  // beyond, the oldest waiting one is dropped
  struct Balloon {
    std::string title;
    std::string text;
  };
  // The balloon to show now, or nothing when it must wait (behind those already waiting).
  std::optional<Balloon> Offer(Balloon balloon, bool mayNotify);
  // Asked again and again while Waiting(): the next balloon, once notifications are
  // accepted; one at a time, so that none replaces another before it is seen.
  std::optional<Balloon> Next(bool mayNotify);
  bool Waiting() const { return !held_.empty(); }

 private:
  std::deque<Balloon> held_;
};

// --- Message boxes ----------------------------------------------------------------------

struct BoxOwner {
  HWND owner;
  UINT flags;  // MessageBox's uType
};
// The owner and style of a box. A box the operator cannot find blocks the gateway's
// window for good: a box owned by a hidden or minimised window has no taskbar button of
// its own, and SetForegroundWindow, refused, "flashes the taskbar button" instead. The
// shell gives a button to every window that is not owned, so such a box goes unowned;
// MB_TASKMODAL then disables the thread's windows as an owned box would ("all the
// top-level windows belonging to the current thread are disabled if the hWnd parameter
// is NULL").
BoxOwner ChooseBoxOwner(HWND main, bool mainShown);

// Whether a box can be seen at all: not in session 0, where services run and no user
// looks, nor on a window station that is not interactive (no WSF_VISIBLE). There a box
// waits for ever for a click that never comes. Unknown answers count as seen.
bool BoxesCanBeSeen(std::optional<DWORD> sessionId, std::optional<DWORD> stationFlags);
bool BoxesCanBeSeenNow();

// --- Colours ----------------------------------------------------------------------------

// The system colours the screens draw with, as GetSysColor gives them.
struct Scheme {
  COLORREF window, windowText, highlight, highlightText, hotLight, btnFace;
};
Scheme CurrentScheme();
// SPI_GETHIGHCONTRAST with HCF_HIGHCONTRASTON. Read again on WM_SYSCOLORCHANGE and
// WM_SETTINGCHANGE (ReadHighContrast); HighContrast() gives the last answer.
void ReadHighContrast();
bool HighContrast();

struct Ink {
  COLORREF text;
  COLORREF back;
};
// A list row that carries a warning: a fixed pink in the usual scheme; under High
// Contrast the pink would sit behind the scheme's own text colour (white in High Contrast
// Black), so the row takes the scheme's highlight pair, which the user chose to read.
Ink FlaggedRow(bool highContrast, const Scheme& scheme);
// A label that stands out: Info in blue, Warning in red, on the usual dialog colours;
// under High Contrast the scheme's link colour and its text colour.
enum class Tone { Info, Warning };
COLORREF LabelInk(Tone tone, bool highContrast, const Scheme& scheme);
// The white box behind the download's progress labels.
COLORREF LabelBoxBack(bool highContrast, const Scheme& scheme);

}  // namespace ol::win
