// The binder both windows mirror the form model with: a window that is not seen does no
// view work until it shows again, and a stream of changes is shown once per period.
#include "view/binder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/manual_loop.h"

namespace ol::testing {
namespace {

TEST(Binder, ABinderThatIsNotShowingDoesNothingAndCatchesUpOnShow) {
  ManualLoop loop;
  FormModel form(loop);
  Binder binder(form, loop);
  int shows = 0;
  std::size_t shownLines = 0;
  binder.Bind("Memo1", [&](const Control& c) {
    ++shows;
    shownLines = c.LineCount();
  });
  binder.Refresh();
  shows = 0;

  binder.SetShowing(false);
  for (int i = 0; i < 50; ++i) form["Memo1"].AddLine(std::to_string(i));
  loop.Advance(40);
  EXPECT_EQ(shows, 0);
  binder.SetShowing(true);
  EXPECT_EQ(shows, 1);
  EXPECT_EQ(shownLines, 50u);
  // Shown again, a burst of lines is one show a moment later.
  for (int i = 0; i < 50; ++i) form["Memo1"].AddLine(std::to_string(i));
  EXPECT_EQ(shows, 1);
  loop.Advance(Binder::kGather);
  EXPECT_EQ(shows, 2);
  EXPECT_EQ(shownLines, 100u);
}

TEST(Binder, AStreamOfChangesIsShownOncePerPeriodAndAQuietOneAtOnce) {
  ManualLoop loop;
  FormModel form(loop);
  Binder binder(form, loop);
  std::vector<std::size_t> shown;  // the line count at every show
  int labels = 0;
  binder.Bind(
      "Memo1", [&](const Control& c) { shown.push_back(c.LineCount()); }, 600);
  binder.Bind("Label3", [&](const Control&) { ++labels; });
  binder.Refresh();
  shown.clear();
  loop.Advance(650);  // the first show's period is over

  form["Memo1"].AddLine("a");
  loop.Advance(Binder::kGather);
  EXPECT_EQ(shown, std::vector<std::size_t>{1});  // after a quiet spell: at once
  for (int i = 0; i < 5; ++i) {
    form["Memo1"].AddLine("b");
    loop.Advance(10);
  }
  EXPECT_EQ(shown, std::vector<std::size_t>{1});
  loop.Advance(600 - 50 - 1);  // 1 ms short of the period's end
  EXPECT_EQ(shown, std::vector<std::size_t>{1});
  loop.Advance(1);
  EXPECT_EQ(shown, (std::vector<std::size_t>{1, 6}));  // the period's end shows them all
  // A control without a period is shown as before, the one in its period waits.
  labels = 0;
  form["Label3"].SetText("x");
  form["Memo1"].AddLine("c");
  loop.Advance(Binder::kGather);
  EXPECT_EQ(labels, 1);
  EXPECT_EQ(shown, (std::vector<std::size_t>{1, 6}));
}

}  // namespace
}  // namespace ol::testing
