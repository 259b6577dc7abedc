#include "win/desktop_state.h"

namespace ol::win {
namespace {

bool highContrast = false;
bool highContrastRead = false;

}  // namespace

bool MayNotify(HRESULT queried, QUERY_USER_NOTIFICATION_STATE state) {
  return FAILED(queried) || state == QUNS_ACCEPTS_NOTIFICATIONS;
}

bool MayNotifyNow() {
  QUERY_USER_NOTIFICATION_STATE state = QUNS_ACCEPTS_NOTIFICATIONS;
  const HRESULT queried = SHQueryUserNotificationState(&state);
  return MayNotify(queried, state);
}

std::optional<HeldBalloons::Balloon> HeldBalloons::Offer(Balloon balloon, bool mayNotify) {
  if (mayNotify && held_.empty()) return balloon;
  if (held_.size() == kMax) held_.pop_front();
  held_.push_back(std::move(balloon));
  return std::nullopt;
}

std::optional<HeldBalloons::Balloon> HeldBalloons::Next(bool mayNotify) {
  if (!mayNotify || held_.empty()) return std::nullopt;
  Balloon next = std::move(held_.front());
  held_.pop_front();
  return next;
}

BoxOwner ChooseBoxOwner(HWND main, bool mainShown) {
  constexpr UINT kBox = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND;
  if (main && mainShown) return {main, kBox};
  return {nullptr, kBox | MB_TASKMODAL};
}

bool BoxesCanBeSeen(std::optional<DWORD> sessionId, std::optional<DWORD> stationFlags) {
  if (sessionId && *sessionId == 0) return false;
  return !stationFlags || (*stationFlags & WSF_VISIBLE) != 0;
}

bool BoxesCanBeSeenNow() {
  std::optional<DWORD> session;
  DWORD id = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &id)) session = id;
  std::optional<DWORD> flags;
  USEROBJECTFLAGS station{};
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station,
                                nullptr))
    flags = station.dwFlags;
  return BoxesCanBeSeen(session, flags);
}

Scheme CurrentScheme() {
  return {GetSysColor(COLOR_WINDOW),    GetSysColor(COLOR_WINDOWTEXT),
          GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT),
          GetSysColor(COLOR_HOTLIGHT),  GetSysColor(COLOR_BTNFACE)};
}

void ReadHighContrast() {
  HIGHCONTRASTW hc{};
  hc.cbSize = sizeof hc;
  highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) &&
                 (hc.dwFlags & HCF_HIGHCONTRASTON) != 0;
  highContrastRead = true;
}

bool HighContrast() {
  if (!highContrastRead) ReadHighContrast();
  return highContrast;
}

Ink FlaggedRow(bool highContrast, const Scheme& scheme) {
  if (highContrast) return {scheme.highlightText, scheme.highlight};
  return {scheme.windowText, RGB(0xFF, 0xD6, 0xD6)};
}

COLORREF LabelInk(Tone tone, bool highContrast, const Scheme& scheme) {
  if (highContrast) return tone == Tone::Info ? scheme.hotLight : scheme.windowText;
  return tone == Tone::Info ? RGB(0, 0, 255) : RGB(255, 0, 0);
}

COLORREF LabelBoxBack(bool highContrast, const Scheme& scheme) {
  return highContrast ? scheme.window : scheme.highlightText;
}

}  // namespace ol::win
