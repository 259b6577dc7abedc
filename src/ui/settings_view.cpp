#include "ui/settings_view.h"

#include <QCoreApplication>
#include <QEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabBar>

#include "ui/view_helpers.h"

namespace ol {

using view::Q;
using view::Std;

KeyFilter::KeyFilter(std::function<bool(char32_t)> accept, QObject* parent)
    : QObject(parent), accept_(std::move(accept)) {}

bool KeyFilter::Accepts(const QString& text) const {
  for (char32_t c : text.toUcs4()) {
    // Control keys (Tab, Enter, Delete, the Ctrl shortcuts) type nothing and keep their
    // usual meaning; backspace is the one the filter rules on.
    if ((c < 0x20 && c != U'\b') || c == 0x7F) continue;
    if (!accept_(c)) return false;
  }
  return true;
}

bool KeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (!key->text().isEmpty() && !Accepts(key->text())) return true;
  } else if (event->type() == QEvent::InputMethod) {
    auto* im = static_cast<QInputMethodEvent*>(event);
    if (!im->commitString().isEmpty() && !Accepts(im->commitString())) {
      // The composition goes on; only the refused commit is dropped.
      QInputMethodEvent dropped(im->preeditString(), im->attributes());
      QCoreApplication::sendEvent(watched, &dropped);
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

SettingsView::SettingsView(Gateway& gateway, FormBinder& binder, QWidget* parent)
    : QWidget(parent), gateway_(gateway), form_(gateway.Form()), binder_(binder) {
  setObjectName("Panel3");
  setMinimumSize(624, 472);

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");
  pages_->setGeometry(66, 24, 497, 393);
  QFont bold = pages_->tabBar()->font();
  bold.setBold(true);
  pages_->tabBar()->setFont(bold);
  for (int n = 1; n <= 4; ++n) pages_->addTab(BuildPage(n), Q("基站" + std::to_string(n)));
  QObject::connect(pages_, &QTabWidget::currentChanged, this,
                   [this](int index) { form_["PageControl1"].SetItemIndex(index); });
  binder_.Bind("PageControl1", [this](const Control& c) {
    QSignalBlocker block(pages_);
    if (c.ItemIndex() >= 0 && c.ItemIndex() < pages_->count())
      pages_->setCurrentIndex(c.ItemIndex());
    pages_->setEnabled(c.Enabled());
  });
  for (int n = 1; n <= 4; ++n) {
    binder_.Bind("TabSheet" + std::to_string(n), [this, n](const Control& c) {
      pages_->setTabEnabled(n - 1, c.Enabled());
      pages_->setTabVisible(n - 1, c.Visible());
    });
  }

  SettingsScreen& logic = gateway_.Settings();
  const QIcon saveGlyph = style()->standardIcon(QStyle::SP_DialogSaveButton);
  AddButton("BitBtn2", QStringLiteral("保存"), QString(), {224, 432, 75, 25}, [&logic] {
    logic.BitBtn2Click();
  })->setIcon(saveGlyph);
  AddButton("Button3", QStringLiteral("退出"), QString(), {352, 432, 75, 25},
            [&logic] { logic.Button3Click(); });
  AddButton("BitBtn3", QStringLiteral("添加手持"), QStringLiteral("点击添加手持号"),
            {328, 165, 65, 25}, [&logic] { logic.BitBtn3Click(); });
  AddButton("Button1", QStringLiteral("频道设置"), QStringLiteral("点击进行频道设置"),
            {376, 130, 65, 25}, [this] { gateway_.Channel().Button1Click(); });
  AddButton("Button5", QStringLiteral("删除选择"), QString(), {456, 256, 75, 25},
            [&logic] { logic.Button5Click(); });
  AddButton("Button6", QStringLiteral("清除所有"), QString(), {456, 304, 75, 25},
            [&logic] { logic.Button6Click(); });

  // The logic names the control that should have the keyboard focus.
  binder_.Bind("ActiveControl", [this](const Control& c) {
    if (c.Text().empty()) return;
    if (auto* target = findChild<QWidget*>(Q(c.Text())); target && target->isVisible())
      target->setFocus(Qt::OtherFocusReason);
  });
}

QPushButton* SettingsView::AddButton(const char* name, const QString& caption, const QString& hint,
                                     QRect geometry, std::function<void()> click) {
  auto* button = new QPushButton(caption, this);
  button->setObjectName(name);
  button->setGeometry(geometry);
  if (!hint.isEmpty()) button->setToolTip(hint);
  button->raise();  // the buttons lie over the pages and serve all four of them
  QObject::connect(button, &QPushButton::clicked, this, std::move(click));
  binder_.Bind(name, [button](const Control& c) { view::MirrorState(button, c); });
  return button;
}

QComboBox* SettingsView::AddCombo(QWidget* page, int slot, const char* family, int top) {
  const std::string name = family + std::to_string(slot);
  auto* box = new QComboBox(page);
  box->setObjectName(Q(name));
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  // Inline completion would show a text that the form model does not hold.
  box->setCompleter(nullptr);
  box->setGeometry(150, top, 145, 21);
  // Value changes, not only the operator's edits: a text put in by an input method or an
  // assistive tool is what the logic must act on. The mirror below blocks these signals.
  QObject::connect(box, &QComboBox::editTextChanged, this,
                   [this, name](const QString& text) { form_[name].SetText(Std(text)); });
  QObject::connect(box, &QComboBox::currentIndexChanged, this,
                   [this, name](int index) { form_[name].SetItemIndex(index); });
  QObject::connect(box, &QComboBox::activated, this, [this, name, box](int index) {
    form_[name].SetText(Std(box->itemText(index)));
    form_[name].SetItemIndex(index);
  });
  binder_.Bind(name, [box](const Control& c) { view::MirrorCombo(box, c); });
  return box;
}

QWidget* SettingsView::BuildPage(int slot) {
  auto* page = new QWidget;
  page->setObjectName(Q("TabSheet" + std::to_string(slot)));
  auto label = [page](const QString& text, int top) {
    auto* l = new QLabel(text, page);
    l->setGeometry(60, top, 84, 21);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  };
  label(QStringLiteral("串口设置"), 15);
  label(QStringLiteral("基站ID"), 50);
  label(QStringLiteral("频道"), 85);
  label(QStringLiteral("手持编号"), 120);

  SlotWidgets& w = slots_.at(Index(slot));
  const std::string n = std::to_string(slot);
  w.port = AddCombo(page, slot, "COMMID", 15);

  w.stationId = new QLineEdit(page);
  w.stationId->setObjectName(Q("JZID" + n));
  w.stationId->setGeometry(150, 50, 145, 21);
  w.stationId->setMaxLength(2);
  w.stationId->installEventFilter(new KeyFilter(&SettingsScreen::JZID1KeyPress, w.stationId));
  QObject::connect(w.stationId, &QLineEdit::textChanged, this, [this, slot](const QString& text) {
    form_.At("JZID", slot).SetText(Std(text));
    gateway_.Settings().JZIDChange(slot);
  });
  binder_.Bind("JZID" + n, [edit = w.stationId](const Control& c) {
    QSignalBlocker block(edit);
    if (edit->text() != Q(c.Text())) edit->setText(Q(c.Text()));
    view::MirrorState(edit, c);
  });

  w.channel = AddCombo(page, slot, "PDID", 85);

  w.handheld = new QLineEdit(page);
  w.handheld->setObjectName(Q("PADID" + n));
  w.handheld->setGeometry(150, 120, 97, 21);
  w.handheld->setMaxLength(3);
  w.handheld->installEventFilter(new KeyFilter(&SettingsScreen::PADID1KeyPress, w.handheld));
  QObject::connect(w.handheld, &QLineEdit::textChanged, this, [this, slot](const QString& text) {
    form_.At("PADID", slot).SetText(Std(text));
  });
  binder_.Bind("PADID" + n, [edit = w.handheld](const Control& c) {
    QSignalBlocker block(edit);
    if (edit->text() != Q(c.Text())) edit->setText(Q(c.Text()));
    view::MirrorState(edit, c);
  });

  w.list = new QListWidget(page);
  w.list->setObjectName(Q("PADLIST" + n));
  w.list->setGeometry(150, 160, 225, 169);
  w.list->setSelectionMode(QAbstractItemView::SingleSelection);
  QObject::connect(w.list, &QListWidget::currentRowChanged, this,
                   [this, slot](int row) { form_.At("PADLIST", slot).SetItemIndex(row); });
  binder_.Bind("PADLIST" + n, [list = w.list](const Control& c) { view::MirrorList(list, c); });
  return page;
}

}  // namespace ol
