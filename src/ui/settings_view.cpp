#include "ui/settings_view.h"

#include <QLabel>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabBar>

#include "ui/view_helpers.h"

namespace ol {

using view::Q;
using view::Std;

FilterValidator::FilterValidator(bool (*accept)(char32_t), int limit, QObject* parent)
    : QValidator(parent), accept_(accept), limit_(static_cast<std::size_t>(limit)) {}

QValidator::State FilterValidator::validate(QString& text, int& caret) const {
  const FilteredText held =
      FilterText(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                     static_cast<std::size_t>(text.size())),
                 static_cast<std::size_t>(std::max(caret, 0)), accept_, limit_);
  text = QString::fromUtf16(held.text.data(), static_cast<qsizetype>(held.text.size()));
  caret = static_cast<int>(held.caret);
  return Acceptable;
}

SettingsView::SettingsView(Gateway& gateway, Binder& binder, QWidget* parent)
    : QWidget(parent), gateway_(gateway), binder_(binder) {
  setObjectName("Panel3");
  setMinimumSize(624, 472);

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");
  pages_->setGeometry(66, 24, 497, 393);
  QFont bold = pages_->tabBar()->font();
  bold.setBold(true);
  pages_->tabBar()->setFont(bold);
  for (int n = 1; n <= 4; ++n) pages_->addTab(BuildPage(n), Q("基站" + std::to_string(n)));
  QObject::connect(pages_, &QTabWidget::currentChanged, this, [this](int index) {
    Dispatch(gateway_, "PageControl1", InputEvent::Selected, Input::Row(index));
  });
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

  AddButton("BitBtn2", QStringLiteral("保存"), QString(), {224, 432, 75, 25})
      ->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  AddButton("Button3", QStringLiteral("退出"), QString(), {352, 432, 75, 25});
  AddButton("BitBtn3", QStringLiteral("添加手持"), QStringLiteral("点击添加手持号"),
            {328, 165, 65, 25});
  AddButton("Button1", QStringLiteral("频道设置"), QStringLiteral("点击进行频道设置"),
            {376, 130, 65, 25});
  AddButton("Button5", QStringLiteral("删除选择"), QString(), {456, 256, 75, 25});
  AddButton("Button6", QStringLiteral("清除所有"), QString(), {456, 304, 75, 25});

  // The logic names the control that should have the keyboard focus.
  binder_.Bind("ActiveControl", [this](const Control& c) {
    if (c.Text().empty()) return;
    if (auto* target = findChild<QWidget*>(Q(c.Text())); target && target->isVisible())
      target->setFocus(Qt::OtherFocusReason);
  });
}

QPushButton* SettingsView::AddButton(const char* name, const QString& caption, const QString& hint,
                                     QRect geometry) {
  auto* button = new QPushButton(caption, this);
  button->setObjectName(name);
  button->setGeometry(geometry);
  if (!hint.isEmpty()) button->setToolTip(hint);
  button->raise();  // the buttons lie over the pages and serve all four of them
  view::OnClick(gateway_, button);
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
  QObject::connect(box, &QComboBox::editTextChanged, this, [this, name](const QString& text) {
    Dispatch(gateway_, name, InputEvent::EditedText, Input::Text(Std(text)));
  });
  QObject::connect(box, &QComboBox::currentIndexChanged, this, [this, name, box](int index) {
    Dispatch(gateway_, name, InputEvent::Selected, Input::Row(index, Std(box->itemText(index))));
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

  w.stationId = AddEntry(page, "JZID" + n, {150, 50, 145, 21}, 2, &SettingsScreen::JZID1KeyPress);
  w.channel = AddCombo(page, slot, "PDID", 85);
  w.handheld = AddEntry(page, "PADID" + n, {150, 120, 97, 21}, 3, &SettingsScreen::PADID1KeyPress);

  w.list = new QListWidget(page);
  w.list->setObjectName(Q("PADLIST" + n));
  w.list->setGeometry(150, 160, 225, 169);
  w.list->setSelectionMode(QAbstractItemView::SingleSelection);
  QObject::connect(w.list, &QListWidget::currentRowChanged, this, [this, n](int row) {
    Dispatch(gateway_, "PADLIST" + n, InputEvent::Selected, Input::Row(row));
  });
  binder_.Bind("PADLIST" + n, [list = w.list](const Control& c) { view::MirrorList(list, c); });
  return page;
}

QLineEdit* SettingsView::AddEntry(QWidget* page, const std::string& name, QRect geometry, int limit,
                                  bool (*accept)(char32_t)) {
  auto* edit = new QLineEdit(page);
  edit->setObjectName(Q(name));
  edit->setGeometry(geometry);
  // The validator holds the length too: a paste is cut after its refused characters go.
  edit->setValidator(new FilterValidator(accept, limit, edit));
  QObject::connect(edit, &QLineEdit::textChanged, this, [this, name](const QString& text) {
    Dispatch(gateway_, name, InputEvent::EditedText, Input::Text(Std(text)));
  });
  binder_.Bind(name, [edit](const Control& c) {
    QSignalBlocker block(edit);
    if (edit->text() != Q(c.Text())) edit->setText(Q(c.Text()));
    view::MirrorState(edit, c);
  });
  return edit;
}

}  // namespace ol
