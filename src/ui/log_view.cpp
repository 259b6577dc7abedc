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
  const LogUpdate update = follower_.Next(c);
  // A document of one empty line takes an appended text into that line, which would be
  // lost: it is rebuilt instead, which costs nothing.
  const bool rebuild = update.rebuild || document()->isEmpty();
  // Everything that came since the last show goes in at once: one layout, one paint.
  const std::size_t from = rebuild ? 0 : update.first;
  QString text;
  for (std::size_t i = from; i < c.LineCount(); ++i) {
    if (i > from) text += '\n';
    text += Block(c.Lines()[i]);
  }
  if (rebuild) {
    setMaximumBlockCount(static_cast<int>(c.MaxLines()));
    setPlainText(text);
  } else if (update.first < c.LineCount()) {
    appendPlainText(text);
  }
  moveCursor(QTextCursor::End);
}

}  // namespace ol
