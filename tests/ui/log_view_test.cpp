// The monitor log's view: what it shows matches the control's lines after any mix of
// changes, and showing one more line costs as much at 1000 lines as at 10.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextDocumentLayout>
#include <QTextBlock>
#include <QTextDocument>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/manual_loop.h"
#include "ui/log_view.h"

namespace ol::testing {
namespace {

// Counts the work handed to the document's layout: calls, and the blocks and characters
// each call covers.
class CountingLayout : public QPlainTextDocumentLayout {
 public:
  using QPlainTextDocumentLayout::QPlainTextDocumentLayout;
  int calls = 0;
  int blocks = 0;
  int chars = 0;

 protected:
  void documentChanged(int from, int removed, int added) override {
    ++calls;
    chars += removed + added;
    const QTextDocument* doc = document();
    for (QTextBlock b = doc->findBlock(from); b.isValid() && b.position() <= from + added;
         b = b.next())
      ++blocks;
    QPlainTextDocumentLayout::documentChanged(from, removed, added);
  }
};

std::string Numbered(int i) {
  return "AA01" + std::to_string(10000 + i) + "BB";
}

// The lines as the view should hold them: one after another, a CR LF inside a line shown
// as a break.
std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    if (&line != &lines.front()) text += '\n';
    for (char ch : line)
      if (ch != '\r') text += ch;
  }
  return text;
}

TEST(LogView, ShowsTheLinesOfTheControlAfterEveryKindOfChange) {
  ManualLoop loop;
  FormModel form(loop);
  Control& memo = form["Memo1"];
  memo.SetMaxLines(5);
  LogView view;
  struct Step {
    const char* what;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"first lines", [&] { memo.AddLine("a"), memo.AddLine("b"); }},
      {"one more", [&] { memo.AddLine("c"); }},
      {"past the limit between two shows",
       [&] {
         for (int i = 0; i < 4; ++i) memo.AddLine(Numbered(i));
       }},
      {"more than the limit at once",
       [&] {
         for (int i = 0; i < 12; ++i) memo.AddLine(Numbered(i));
       }},
      {"a line with breaks in it", [&] { memo.AddLine("x\r\ny"); }},
      {"empty lines among others", [&] { memo.AddLine(""), memo.AddLine("e"), memo.AddLine(""); }},
      {"emptied", [&] { memo.ClearLines(); }},
      {"an empty line first", [&] { memo.AddLine(""); }},
      {"after the empty line", [&] { memo.AddLine("d"); }},
      {"a line inserted at the top", [&] { memo.InsertLine(0, "top"); }},
      {"a line deleted", [&] { memo.DeleteLine(1); }},
      {"replaced whole",
       [&] {
         memo.SetLines({"p", "q", "r"});
       }},
      {"appended after the replacement", [&] { memo.AddLine("s"); }},
      {"no change", [] {}},
  };
  for (const auto& step : steps) {
    step.change();
    view.Show(memo);
    EXPECT_EQ(view.toPlainText().toStdString(), Joined(memo.Lines())) << step.what;
    EXPECT_EQ(view.document()->blockCount(), std::max<int>(1, static_cast<int>(memo.LineCount())))
        << step.what;
  }
}

TEST(LogView, OneMoreLineCostsTheSameLayoutAtTenAndAtAThousandLines) {
  struct Work {
    int calls, blocks, chars;
  };
  // Lines already shown, and the control's limit (0: none).
  auto measure = [](int lines, std::size_t limit) {
    ManualLoop loop;
    FormModel form(loop);
    Control& memo = form["Memo1"];
    memo.SetMaxLines(limit);
    LogView view;
    auto* doc = new QTextDocument(&view);
    auto* layout = new CountingLayout(doc);
    doc->setDocumentLayout(layout);
    view.setDocument(doc);
    for (int i = 0; i < lines; ++i) memo.AddLine(Numbered(i));
    view.Show(memo);
    layout->calls = layout->blocks = layout->chars = 0;
    memo.AddLine(Numbered(lines));
    view.Show(memo);
    return Work{layout->calls, layout->blocks, layout->chars};
  };
  // Growing without a limit, and at the limit, where every new line drops the oldest.
  for (const bool capped : {false, true}) {
    const Work small = measure(10, capped ? 10 : 0), large = measure(1000, capped ? 1000 : 0);
    EXPECT_GT(small.chars, 0) << capped;
    EXPECT_EQ(large.calls, small.calls) << capped;
    EXPECT_EQ(large.blocks, small.blocks) << capped;
    EXPECT_EQ(large.chars, small.chars) << capped;
  }
}

}  // namespace
}  // namespace ol::testing
