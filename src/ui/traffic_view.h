#pragma once

#include <QComboBox>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/gateway.h"

namespace ol {

// The decoded traffic, filtered by station and handheld, to copy or save. It reads the
// monitor while it is shown, once a second, and does nothing while it is not.
class TrafficView : public QWidget {
 public:
  static constexpr int kPeriodMs = 1000;

  explicit TrafficView(Gateway& gateway, QWidget* parent = nullptr);
  // Brings the text up to date now.
  void RefreshNow();
  QString ShownText() const { return text_->toPlainText(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  TrafficFilter Filter() const;
  void FillFilters();
  void Rebuild();
  void Save();

  Gateway& gateway_;
  QComboBox* station_;
  QComboBox* handheld_;
  // What the filters offer: station IDs and handheld numbers with their texts.
  std::vector<std::pair<int, QString>> stationChoices_, handheldChoices_;
  QPlainTextEdit* text_;
  QTimer timer_;
  std::uint64_t appended_ = 0;
  std::uint64_t folds_ = 0;
  bool lastShown_ = false;  // the log's last line is the text's last block
  bool stale_ = true;
};

// The handheld board: a table of the stations and one of the registered handhelds; a row
// that stands out is tinted and says why. Read once a second while shown.
class BoardView : public QWidget {
 public:
  static constexpr int kPeriodMs = 1000;

  explicit BoardView(Gateway& gateway, QWidget* parent = nullptr);
  void RefreshNow();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  Gateway& gateway_;
  QTableWidget* stations_;
  QTableWidget* handhelds_;
  QTimer timer_;
};

}  // namespace ol
