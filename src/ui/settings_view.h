#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>
#include <array>
#include <functional>

#include "app/gateway.h"
#include "ui/form_binder.h"

namespace ol {

// Passes a typed character on to the edit only when the logic's key filter accepts it.
// Characters arriving through an input method are asked about in the same way.
class KeyFilter : public QObject {
 public:
  KeyFilter(std::function<bool(char32_t)> accept, QObject* parent);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool Accepts(const QString& text) const;
  std::function<bool(char32_t)> accept_;
};

// The settings screen (Panel3): the four station pages of PageControl1 and the buttons
// laid over them. Every widget mirrors its control of the form model; an operator's edit
// is written into the control first and then handed to the settings logic.
class SettingsView : public QWidget {
 public:
  SettingsView(Gateway& gateway, FormBinder& binder, QWidget* parent = nullptr);

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
  QPushButton* AddButton(const char* name, const QString& caption, const QString& hint,
                         QRect geometry, std::function<void()> click);

  Gateway& gateway_;
  FormModel& form_;
  FormBinder& binder_;
  QTabWidget* pages_ = nullptr;
  std::array<SlotWidgets, 4> slots_;
};

}  // namespace ol
