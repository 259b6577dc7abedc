#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>
#include <array>

#include "app/gateway.h"
#include "view/binder.h"

namespace ol {

// The download screen (Panel2): the handheld tree TreeView2 with its ticks, the six
// table boxes and the status panel, the progress list ListView1 with one progress bar
// per download row, and the button bar. Every widget mirrors its control of the form
// model; the operator's clicks go to the download screen logic.
class DownloadView : public QWidget {
 public:
  DownloadView(Gateway& gateway, Binder& binder, QWidget* parent = nullptr);

  QTreeWidget* Tree() const { return tree_; }
  QTreeWidget* Rows() const { return rows_; }
  // CheckBox1..CheckBox7.
  QCheckBox* Box(int n) const { return boxes_.at(static_cast<std::size_t>(n - 1)); }
  // The progress bar of download row r, or nullptr.
  QProgressBar* Bar(int row) const;

 private:
  QWidget* BuildCanvas();
  QWidget* BuildButtonBar();
  QCheckBox* AddBox(QWidget* parent, int n, const QString& caption, QRect geometry);
  QLabel* AddLabel(QWidget* parent, const char* name, QRect geometry, const QString& style);
  void ShowTree(const Control& c);
  void ShowRows(const Control& c);

  Gateway& gateway_;
  Binder& binder_;
  QTreeWidget* tree_ = nullptr;
  QTreeWidget* rows_ = nullptr;
  std::array<QCheckBox*, 7> boxes_{};
};

}  // namespace ol
