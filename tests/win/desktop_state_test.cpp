// The decisions on what Windows answers about the desktop, tried with answers Wine never
// gives: a program full screen, High Contrast, a service's session.
#include "win/desktop_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace ol::win {
namespace {

// WCAG's contrast ratio of two colours: 4.5 is what normal text needs to be read.
double Luminance(COLORREF c) {
  auto channel = [](int v) {
    const double s = v / 255.0;
    return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(GetRValue(c)) + 0.7152 * channel(GetGValue(c)) +
         0.0722 * channel(GetBValue(c));
}
double Contrast(COLORREF a, COLORREF b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The schemes as Windows 10 and 11 ship them, and the classic default.
struct Named {
  const char* name;
  bool highContrast;
  Scheme scheme;  // window, windowText, highlight, highlightText, hotLight, btnFace
};
const Named kSchemes[] = {
    {"default",
     false,
     {RGB(255, 255, 255), RGB(0, 0, 0), RGB(0, 120, 215), RGB(255, 255, 255), RGB(0, 102, 204),
      RGB(240, 240, 240)}},
    {"High Contrast Black",
     true,
     {RGB(0, 0, 0), RGB(255, 255, 255), RGB(26, 235, 255), RGB(0, 0, 0), RGB(255, 255, 0),
      RGB(0, 0, 0)}},
    {"High Contrast White",
     true,
     {RGB(255, 255, 255), RGB(0, 0, 0), RGB(55, 0, 110), RGB(255, 255, 255), RGB(0, 0, 159),
      RGB(255, 255, 255)}},
    {"High Contrast #1",
     true,
     {RGB(0, 0, 0), RGB(255, 255, 0), RGB(0, 128, 0), RGB(255, 255, 255), RGB(128, 128, 255),
      RGB(0, 0, 0)}},
};

TEST(DesktopState, FlaggedRowsAndLabelsReadableInEveryScheme) {
  for (const Named& n : kSchemes) {
    const Scheme& s = n.scheme;
    const Ink row = FlaggedRow(n.highContrast, s);
    EXPECT_GE(Contrast(row.text, row.back), 4.5) << n.name << ": flagged row";
    EXPECT_NE(row.back, s.window) << n.name << ": a flagged row stands out from the others";
    if (!n.highContrast) continue;  // the design's blue and red on white stay
    for (Tone tone : {Tone::Info, Tone::Warning}) {
      const COLORREF ink = LabelInk(tone, true, s);
      EXPECT_GE(Contrast(ink, s.btnFace), 4.5) << n.name << ": label on the screen";
      EXPECT_GE(Contrast(ink, LabelBoxBack(true, s)), 4.5) << n.name << ": label in its box";
    }
  }
}

TEST(DesktopState, BalloonsWaitWhileTheUserMustNotBeInterrupted) {
  const struct {
    QUERY_USER_NOTIFICATION_STATE state;
    bool show;
  } states[] = {
      {QUNS_NOT_PRESENT, false},  // locked, screen saver, switched away
      {QUNS_BUSY, false},         // a program full screen
      {QUNS_RUNNING_D3D_FULL_SCREEN, false},
      {QUNS_PRESENTATION_MODE, false},
      {QUNS_ACCEPTS_NOTIFICATIONS, true},
      {QUNS_QUIET_TIME, false},
      {static_cast<QUERY_USER_NOTIFICATION_STATE>(7), false},  // QUNS_APP, Windows 8 on
  };
  for (const auto& s : states) EXPECT_EQ(MayNotify(S_OK, s.state), s.show) << s.state;
  EXPECT_TRUE(MayNotify(E_FAIL, QUNS_BUSY)) << "a failed query holds nothing back";

  HeldBalloons held;
  EXPECT_TRUE(held.Offer({"t", "at once"}, true));
  EXPECT_FALSE(held.Offer({"t", "first"}, false));
  // Accepted again: a new one still waits behind the first.
  EXPECT_FALSE(held.Offer({"t", "second"}, true));
  EXPECT_FALSE(held.Next(false));
  std::vector<std::string> shown;
  while (auto b = held.Next(true)) shown.push_back(b->text);
  EXPECT_EQ(shown, (std::vector<std::string>{"first", "second"}));
  EXPECT_FALSE(held.Waiting());
  for (std::size_t i = 0; i < HeldBalloons::kMax + 3; ++i)
    held.Offer({"t", std::to_string(i)}, false);
  EXPECT_EQ(held.Next(true)->text, "3") << "the oldest go beyond the bound";
}

// Every box can be found on the taskbar, and the main window takes no input under it.
TEST(DesktopState, EveryBoxHasATaskbarButton) {
  const HWND main = reinterpret_cast<HWND>(0x1234);
  for (bool shown : {true, false}) {
    const BoxOwner box = ChooseBoxOwner(main, shown);
    // An owned box shares its owner's button, which only a shown owner has.
    EXPECT_TRUE(box.owner == nullptr || (box.owner == main && shown)) << shown;
    // Unowned, only MB_TASKMODAL keeps the main window from being used meanwhile.
    EXPECT_TRUE(box.owner == main || (box.flags & MB_TASKMODAL)) << shown;
    EXPECT_TRUE(box.flags & MB_SETFOREGROUND) << shown;
  }
}

TEST(DesktopState, NoBoxWhereNoOneLooks) {
  const struct {
    std::optional<DWORD> session;
    std::optional<DWORD> station;
    bool seen;
  } cases[] = {
      {1, WSF_VISIBLE, true},
      {0, WSF_VISIBLE, false},  // a service's session
      {2, 0, false},            // a station not interactive
      {std::nullopt, std::nullopt, true},
      {std::nullopt, 0, false},
      {0, std::nullopt, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BoxesCanBeSeen(c.session, c.station), c.seen)
        << c.session.value_or(99) << " " << c.station.value_or(99);
}

}  // namespace
}  // namespace ol::win
