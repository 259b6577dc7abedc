#include "ui/log_view.h"

#include <QString>
#include <string>

namespace ol {
namespace {

// One line of the control is one block of the document, or the block limit would drop
// the wrong number of lines: a line break inside a line is shown as a break within it.
QString Block(const std::string& line) {
  QString text = QString::fromStdString(line);
  text.remove(QChar('\r'));
  text.replace(QChar('\n'), QChar::LineSeparator);
  return text;
}

}  // namespace

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setUndoRedoEnabled(false);
}

void LogView::Show(const Control& c) {
  const std::uint64_t added = c.Appended() - appended_;
  // An empty document takes an appended text into its one empty block, so an empty line
  // there would be lost: it is rebuilt instead, which costs nothing.
  if (c.Rewrites() != rewrites_ || added > c.LineCount() || document()->isEmpty()) {
    Rebuild(c);
  } else if (added > 0) {
    // Everything that came since the last show goes in at once: one layout, one paint.
    const std::size_t first = c.LineCount() - added;
    QString text;
    for (auto i = first; i < c.LineCount(); ++i) {
      if (i > first) text += '\n';
      text += Block(c.Lines()[i]);
    }
    appendPlainText(text);
  }
  appended_ = c.Appended();
  rewrites_ = c.Rewrites();
  moveCursor(QTextCursor::End);
}

void LogView::Rebuild(const Control& c) {
  setMaximumBlockCount(static_cast<int>(c.MaxLines()));
  QString text;
  for (std::size_t i = 0; i < c.LineCount(); ++i) {
    if (i > 0) text += '\n';
    text += Block(c.Lines()[i]);
  }
  setPlainText(text);
}

}  // namespace ol
