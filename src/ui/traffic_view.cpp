#include "ui/traffic_view.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBlock>
#include <QVBoxLayout>

#include "core/text_file.h"
#include "ui/view_helpers.h"

namespace ol {
namespace {

using view::Q;

void ShowRows(QTableWidget* table, const std::vector<std::string>& columns,
              const std::vector<BoardRow>& rows) {
  if (table->columnCount() != static_cast<int>(columns.size())) {
    table->setColumnCount(static_cast<int>(columns.size()));
    QStringList headers;
    for (const auto& c : columns) headers << Q(c);
    table->setHorizontalHeaderLabels(headers);
  }
  table->setRowCount(static_cast<int>(rows.size()));
  const QColor alert(0xFF, 0xD6, 0xD6);
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const BoardRow& row = rows[static_cast<std::size_t>(r)];
    for (int c = 0; c < static_cast<int>(row.cells.size()); ++c) {
      QTableWidgetItem* item = table->item(r, c);
      if (!item) {
        item = new QTableWidgetItem;
        table->setItem(r, c, item);
      }
      item->setText(Q(row.cells[static_cast<std::size_t>(c)]));
      item->setBackground(row.alert.empty() ? QBrush() : QBrush(alert));
      item->setToolTip(Q(row.alert));
    }
  }
}

}  // namespace

MonitorView::MonitorView(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(kPeriodMs);
  // A minimised window is visible to Qt, but seen by nobody.
  QObject::connect(&timer_, &QTimer::timeout, this, [this] {
    if (!window()->isMinimized()) RefreshNow();
  });
}

void MonitorView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  RefreshNow();
  timer_.start();
}

void MonitorView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.stop();
}

TrafficView::TrafficView(Gateway& gateway, QWidget* parent)
    : MonitorView(parent),
      gateway_(gateway),
      station_(new QComboBox),
      handheld_(new QComboBox),
      text_(new QPlainTextEdit) {
  setObjectName("TrafficView");
  text_->setObjectName("DecodedLog");
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setUndoRedoEnabled(false);
  text_->setMaximumBlockCount(static_cast<int>(TrafficLog::kMaxLines));
  auto* copy = new QPushButton(QStringLiteral("复制"));
  auto* save = new QPushButton(QStringLiteral("保存…"));
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(0, 0, 0, 0);
  bar->addWidget(new QLabel(QStringLiteral("基站")));
  bar->addWidget(station_);
  bar->addWidget(new QLabel(QStringLiteral("手持")));
  bar->addWidget(handheld_);
  bar->addStretch(1);
  bar->addWidget(copy);
  bar->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(bar);
  layout->addWidget(text_, 1);

  auto refilter = [this] {
    follower_.Restart();
    RefreshNow();
  };
  QObject::connect(station_, &QComboBox::currentIndexChanged, this, refilter);
  QObject::connect(handheld_, &QComboBox::currentIndexChanged, this, refilter);
  QObject::connect(copy, &QPushButton::clicked, this,
                   [this] { QApplication::clipboard()->setText(text_->toPlainText()); });
  QObject::connect(save, &QPushButton::clicked, this, [this] { Save(); });
}

TrafficFilter TrafficView::Filter() const {
  return {station_->currentData().isValid() ? station_->currentData().toInt() : -1,
          handheld_->currentData().isValid() ? handheld_->currentData().toInt() : -1};
}

void TrafficView::FillFilters() {
  // The loaded stations and their handhelds, keeping what the operator picked.
  TrafficChoices choices = gateway_.GetMonitor().FilterChoices();
  if (choices == choices_) return;  // nothing to refill
  choices_ = std::move(choices);
  const TrafficFilter before = Filter();
  auto fill = [](QComboBox* box, const std::vector<std::pair<int, std::string>>& v) {
    const QVariant picked = box->currentData();
    QSignalBlocker block(box);
    box->clear();
    box->addItem(Q(TrafficChoices::kAll));
    for (const auto& [n, text] : v) box->addItem(Q(text), n);
    const int at = picked.isValid() ? box->findData(picked) : 0;
    box->setCurrentIndex(at < 0 ? 0 : at);
  };
  fill(station_, choices_.stations);
  fill(handheld_, choices_.handhelds);
  // A pick that went with its station shows every line again.
  const TrafficFilter after = Filter();
  if (after.station != before.station || after.handheld != before.handheld) follower_.Restart();
}

void TrafficView::RefreshNow() {
  FillFilters();
  const TrafficUpdate update = follower_.Next(gateway_.GetMonitor().Log(), Filter());
  QString text;
  for (const std::string& line : update.lines) {
    if (!text.isEmpty()) text += '\n';
    text += Q(line);
  }
  if (update.rebuild) {
    text_->setPlainText(text);
    return;
  }
  if (update.rewriteLast) {
    QTextCursor cursor(text_->document()->lastBlock());
    cursor.movePosition(QTextCursor::StartOfBlock);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(Q(update.last));
  }
  if (!text.isEmpty()) text_->appendPlainText(text);
}

void TrafficView::Save() {
  const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("保存通信记录"),
                                                    Q(gateway_.GetMonitor().TrafficFileName()),
                                                    QStringLiteral("文本文件 (*.txt)"));
  if (name.isEmpty()) return;
  std::vector<std::string> lines;
  for (const QString& line : text_->toPlainText().split('\n')) lines.push_back(line.toStdString());
  try {
    SaveTrafficLines(name.toStdString(), lines);
  } catch (const FileError& e) {
    QMessageBox::warning(this, Q(Gateway::kTitle), Q(std::string("无法保存：") + e.what()));
  }
}

BoardView::BoardView(Gateway& gateway, QWidget* parent)
    : MonitorView(parent),
      gateway_(gateway),
      stations_(new QTableWidget),
      handhelds_(new QTableWidget) {
  setObjectName("BoardView");
  for (QTableWidget* t : {stations_, handhelds_}) {
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->verticalHeader()->setVisible(false);
    t->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    t->horizontalHeader()->setStretchLastSection(true);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 6);
  }
  stations_->setObjectName("StationBoard");
  handhelds_->setObjectName("HandheldBoard");
  stations_->setMaximumHeight(140);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stations_);
  layout->addWidget(handhelds_, 1);
}

void BoardView::RefreshNow() {
  Monitor& m = gateway_.GetMonitor();
  ShowRows(stations_, Board::StationColumns(), m.StationRows());
  ShowRows(handhelds_, Board::HandheldColumns(), m.HandheldRows());
}

}  // namespace ol
