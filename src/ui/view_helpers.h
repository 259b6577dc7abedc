#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QListWidget>
#include <QSignalBlocker>
#include <QStringList>
#include <QTreeWidget>
#include <QWidget>
#include <algorithm>
#include <string>
#include <vector>

#include "core/form_model.h"
#include "view/input.h"

// Small pieces the screen views share to show a control of the form model in a widget and
// to hand the operator's input to the logic. Every Mirror* blocks the widget's signals, so
// showing a change is never taken for the operator's input.
namespace ol::view {

inline QString Q(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

inline std::string Std(const QString& text) {
  return text.toStdString();
}

inline QStringList Items(const std::vector<std::string>& lines) {
  QStringList items;
  items.reserve(static_cast<qsizetype>(lines.size()));
  for (const auto& line : lines) items << Q(line);
  return items;
}

// A click on button is a click on the control of its object name.
inline void OnClick(Gateway& gateway, QAbstractButton* button) {
  QObject::connect(button, &QAbstractButton::clicked, button, [&gateway, button] {
    Dispatch(gateway, Std(button->objectName()), InputEvent::Clicked);
  });
}

// The place of a station or handheld node in a tree of stations.
inline TreeNodeRef PlaceOf(QTreeWidgetItem* item) {
  QTreeWidgetItem* station = item->parent() ? item->parent() : item;
  TreeNodeRef place;
  place.station =
      static_cast<std::size_t>(std::max(0, station->treeWidget()->indexOfTopLevelItem(station)));
  if (item->parent()) place.handheld = station->indexOfChild(item);
  return place;
}

inline void MirrorState(QWidget* widget, const Control& c) {
  widget->setEnabled(c.Enabled());
  widget->setVisible(c.Visible());
}

// An editable drop-down: its list from the lines, its edit text from the text.
inline void MirrorCombo(QComboBox* box, const Control& c) {
  QSignalBlocker block(box);
  const QStringList items = Items(c.Lines());
  bool same = box->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = box->itemText(i) == items[i];
  if (!same) {
    box->clear();
    box->addItems(items);
  }
  const QString text = Q(c.Text());
  if (box->currentText() != text) {
    box->setCurrentIndex(box->findText(text, Qt::MatchExactly));
    box->setEditText(text);
  }
  MirrorState(box, c);
}

// A single-selection list: its items from the lines, the selected row from ItemIndex.
inline void MirrorList(QListWidget* list, const Control& c) {
  QSignalBlocker block(list);
  const QStringList items = Items(c.Lines());
  bool same = list->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = list->item(i)->text() == items[i];
  if (!same) {
    list->clear();
    list->addItems(items);
  }
  const int row = c.ItemIndex();
  if (row >= 0 && row < list->count()) {
    list->setCurrentRow(row);
    list->scrollToItem(list->item(row));
  } else {
    list->setCurrentRow(-1);
    list->clearSelection();
  }
  MirrorState(list, c);
}

}  // namespace ol::view
