#pragma once

#include <QComboBox>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

#include "app/gateway.h"

namespace ol {

// A view of the monitor that reads it once a second while it is on screen and does
// nothing at all while it is not (hidden, or its window minimised).
class MonitorView : public QWidget {
 public:
  static constexpr int kPeriodMs = 1000;

  explicit MonitorView(QWidget* parent = nullptr);
  // Brings the view up to date now.
  virtual void RefreshNow() = 0;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QTimer timer_;
};

// The decoded traffic, filtered by station and handheld, to copy or save.
class TrafficView : public MonitorView {
 public:
  explicit TrafficView(Gateway& gateway, QWidget* parent = nullptr);
  void RefreshNow() override;

 private:
  TrafficFilter Filter() const;
  void FillFilters();
  void Save();

  Gateway& gateway_;
  QComboBox* station_;
  QComboBox* handheld_;
  TrafficChoices choices_;  // what the filters offer
  QPlainTextEdit* text_;
  TrafficFollower follower_;
};

// The handheld board: a table of the stations and one of the registered handhelds; a row
// that stands out is tinted and says why.
class BoardView : public MonitorView {
 public:
  explicit BoardView(Gateway& gateway, QWidget* parent = nullptr);
  void RefreshNow() override;

 private:
  Gateway& gateway_;
  QTableWidget* stations_;
  QTableWidget* handhelds_;
};

}  // namespace ol
