#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "core/message_box.h"

namespace ol {

// Modal message boxes with an OK button; QMessageBox runs its own loop, so timers,
// received chunks and host messages go on while one is shown.
class QtMessageBox : public MessageBoxService {
 public:
  void SetParent(QWidget* parent) { parent_ = parent; }
  void Show(const std::string& text) override {
    QMessageBox box(QMessageBox::Information, QStringLiteral("无线点菜机系统"),
                    QString::fromStdString(text), QMessageBox::Ok, parent_);
    box.setObjectName(QStringLiteral("MessageBox"));
    ++open_;
    box.exec();
    --open_;
  }
  int OpenCount() const { return open_; }

 private:
  QPointer<QWidget> parent_;
  int open_ = 0;
};

}  // namespace ol
