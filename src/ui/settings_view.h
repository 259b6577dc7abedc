#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QValidator>
#include <QWidget>
#include <array>
#include <functional>

#include "app/gateway.h"
#include "view/binder.h"

namespace ol {

// Holds an entry to the logic's key filter and to its length, whatever brings the text
// in: a key, an input method's commit, a paste.
class FilterValidator : public QValidator {
 public:
  FilterValidator(bool (*accept)(char32_t), int limit, QObject* parent);
  State validate(QString& text, int& caret) const override;

 private:
  bool (*accept_)(char32_t);
  std::size_t limit_;
};

// The settings screen (Panel3): the four station pages of PageControl1 and the buttons
// laid over them. Every widget mirrors its control of the form model; an operator's edit
// is written into the control first and then handed to the settings logic.
class SettingsView : public QWidget {
 public:
  SettingsView(Gateway& gateway, Binder& binder, QWidget* parent = nullptr);

  QTabWidget* Pages() const { return pages_; }
  QComboBox* Port(int slot) const { return slots_.at(Index(slot)).port; }
  QLineEdit* StationId(int slot) const { return slots_.at(Index(slot)).stationId; }
  QComboBox* ChannelBox(int slot) const { return slots_.at(Index(slot)).channel; }
  QLineEdit* HandheldEntry(int slot) const { return slots_.at(Index(slot)).handheld; }
  QListWidget* HandheldList(int slot) const { return slots_.at(Index(slot)).list; }

 private:
  struct SlotWidgets {
    QComboBox* port = nullptr;
    QLineEdit* stationId = nullptr;
    QComboBox* channel = nullptr;
    QLineEdit* handheld = nullptr;
    QListWidget* list = nullptr;
  };
  static std::size_t Index(int slot) { return static_cast<std::size_t>(slot - 1); }

  QWidget* BuildPage(int slot);
  QComboBox* AddCombo(QWidget* page, int slot, const char* family, int top);
  QLineEdit* AddEntry(QWidget* page, const std::string& name, QRect geometry, int limit,
                      bool (*accept)(char32_t));
  QPushButton* AddButton(const char* name, const QString& caption, const QString& hint,
                         QRect geometry);

  Gateway& gateway_;
  Binder& binder_;
  QTabWidget* pages_ = nullptr;
  std::array<SlotWidgets, 4> slots_;
};

}  // namespace ol
