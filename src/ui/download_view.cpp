#include "ui/download_view.h"

#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/view_helpers.h"

namespace ol {

using view::Q;

namespace {

// Ticks are drawn for the two selection states only; station nodes have none.
void ShowState(QTreeWidgetItem* item, int stateIndex) {
  if (stateIndex == kSelected) {
    item->setCheckState(0, Qt::Checked);
  } else if (stateIndex == kNotSelected) {
    item->setCheckState(0, Qt::Unchecked);
  } else {
    item->setData(0, Qt::CheckStateRole, QVariant());
  }
}

QTreeWidgetItem* MakeNode(const TreeNode& node) {
  auto* item = new QTreeWidgetItem(QStringList{Q(node.text)});
  // The logic decides what a click does to a tick, so Qt must not toggle it itself.
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  ShowState(item, node.stateIndex);
  return item;
}

bool SameShape(const QTreeWidget* tree, const std::vector<TreeNode>& nodes) {
  if (tree->topLevelItemCount() != static_cast<int>(nodes.size())) return false;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const QTreeWidgetItem* top = tree->topLevelItem(static_cast<int>(i));
    if (top->text(0) != Q(nodes[i].text)) return false;
    if (top->childCount() != static_cast<int>(nodes[i].children.size())) return false;
    for (std::size_t j = 0; j < nodes[i].children.size(); ++j)
      if (top->child(static_cast<int>(j))->text(0) != Q(nodes[i].children[j].text)) return false;
  }
  return true;
}

}  // namespace

DownloadView::DownloadView(Gateway& gateway, Binder& binder, QWidget* parent)
    : QWidget(parent), gateway_(gateway), binder_(binder) {
  setObjectName("Panel2");

  tree_ = new QTreeWidget;
  tree_->setObjectName("TreeView2");
  tree_->setHeaderHidden(true);
  tree_->setFixedWidth(136);
  tree_->setIndentation(19);
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QObject::connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) {
    Dispatch(gateway_, "TreeView2", InputEvent::Clicked, Input::Node(view::PlaceOf(item)));
  });
  // A tick set by another path than a click (an assistive tool) is the logic's to judge.
  QObject::connect(tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    const bool ticked = item->data(0, Qt::CheckStateRole).toInt() == Qt::Checked;
    Dispatch(gateway_, "TreeView2", InputEvent::Toggled, Input::Tick(ticked, view::PlaceOf(item)));
  });
  binder_.Bind("TreeView2", [this](const Control& c) { ShowTree(c); });

  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->setSpacing(0);
  top->addWidget(tree_);
  top->addWidget(BuildCanvas(), 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(top, 1);
  layout->addWidget(BuildButtonBar());
}

QWidget* DownloadView::BuildCanvas() {
  auto* canvas = new QWidget;
  auto* tables = new QGroupBox(QStringLiteral("选择要下载的表"), canvas);
  tables->setObjectName("GroupBox1");
  tables->setGeometry(3, 1, 488, 72);
  AddBox(tables, 1, QStringLiteral("菜品表"), {16, 24, 65, 17});
  AddBox(tables, 2, QStringLiteral("客户要求表"), {104, 24, 105, 17});
  AddBox(tables, 3, QStringLiteral("套餐表"), {208, 24, 73, 17});
  AddBox(tables, 4, QStringLiteral("套餐内容表"), {16, 48, 89, 17});
  AddBox(tables, 5, QStringLiteral("退菜理由表"), {104, 48, 97, 17});
  AddBox(tables, 6, QStringLiteral("菜品类别表"), {208, 48, 97, 17});

  auto* status = new QFrame(tables);
  status->setObjectName("Panel6");
  status->setGeometry(300, 8, 185, 60);
  status->setFrameShape(QFrame::Box);
  status->setAutoFillBackground(true);
  QPalette palette = status->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::HighlightedText));
  status->setPalette(palette);
  AddLabel(status, "Label19", {-1, 5, 177, 22}, "color: blue; font-size: 13px;")
      ->setAlignment(Qt::AlignCenter);
  AddLabel(status, "Label20", {75, 21, 40, 30}, "color: red; font-size: 24px;");
  AddLabel(status, "Label21", {2, 27, 177, 30}, "color: red; font-size: 13px; font-weight: bold;")
      ->setAlignment(Qt::AlignCenter);

  auto* progress = new QGroupBox(QStringLiteral("下载进度"), canvas);
  progress->setObjectName("GroupBox2");
  progress->setGeometry(1, 81, 488, 360);
  rows_ = new QTreeWidget;
  rows_->setObjectName("ListView1");
  rows_->setRootIsDecorated(false);
  rows_->setItemsExpandable(false);
  rows_->setSelectionMode(QAbstractItemView::NoSelection);
  rows_->setColumnCount(2);
  rows_->setHeaderLabels({QStringLiteral("手持号"), QStringLiteral("下载进度条")});
  rows_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
  rows_->header()->setStretchLastSection(true);
  rows_->header()->setSectionsMovable(false);
  rows_->setColumnWidth(0, 60);
  auto* fill = new QVBoxLayout(progress);
  fill->setContentsMargins(4, 4, 4, 4);
  fill->addWidget(rows_);
  binder_.Bind("ListView1", [this](const Control& c) { ShowRows(c); });
  return canvas;
}

QWidget* DownloadView::BuildButtonBar() {
  auto* bar = new QFrame;
  bar->setObjectName("Panel5");
  bar->setFixedHeight(30);
  AddBox(bar, 7, QStringLiteral("全选"), {16, 8, 57, 17});
  struct Button {
    const char* name;
    QString caption;
    QRect geometry;
    bool glyph;
  };
  const Button buttons[] = {
      {"BitBtn1", QStringLiteral("下载"), {270, 3, 75, 25}, true},
      {"Button2", QStringLiteral("退出"), {400, 3, 75, 25}, false},
  };
  for (const auto& b : buttons) {
    auto* button = new QPushButton(b.caption, bar);
    button->setObjectName(b.name);
    button->setGeometry(b.geometry);
    if (b.glyph) button->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    view::OnClick(gateway_, button);
    binder_.Bind(b.name, [button](const Control& c) { view::MirrorState(button, c); });
  }
  return bar;
}

QCheckBox* DownloadView::AddBox(QWidget* parent, int n, const QString& caption, QRect geometry) {
  const std::string name = "CheckBox" + std::to_string(n);
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(Q(name));
  // The design sizes leave no room for the wider glyphs of some fonts.
  box->setGeometry(geometry.adjusted(0, -2, 12, 2));
  // A tick set by any path, an assistive tool's too, is a click for the logic; the mirror
  // below blocks this signal, so the logic's own ticks are not taken for clicks.
  QObject::connect(box, &QCheckBox::toggled, this, [this, name](bool checked) {
    Dispatch(gateway_, name, InputEvent::Toggled, Input::Tick(checked));
  });
  binder_.Bind(name, [box](const Control& c) {
    QSignalBlocker block(box);
    box->setChecked(c.Checked());
    view::MirrorState(box, c);
  });
  boxes_.at(static_cast<std::size_t>(n - 1)) = box;
  return box;
}

QLabel* DownloadView::AddLabel(QWidget* parent, const char* name, QRect geometry,
                               const QString& style) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setGeometry(geometry);
  label->setStyleSheet(style);
  binder_.Bind(name, [label](const Control& c) {
    label->setText(Q(c.Text()));
    label->setVisible(c.Visible());
  });
  return label;
}

void DownloadView::ShowTree(const Control& c) {
  QSignalBlocker block(tree_);
  const std::vector<TreeNode>& nodes = c.Nodes();
  if (SameShape(tree_, nodes)) {
    // Only ticks changed: keep the selection and the scroll position.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      QTreeWidgetItem* top = tree_->topLevelItem(static_cast<int>(i));
      ShowState(top, nodes[i].stateIndex);
      for (std::size_t j = 0; j < nodes[i].children.size(); ++j)
        ShowState(top->child(static_cast<int>(j)), nodes[i].children[j].stateIndex);
    }
  } else {
    tree_->clear();
    for (const TreeNode& node : nodes) {
      QTreeWidgetItem* top = MakeNode(node);
      for (const TreeNode& child : node.children) top->addChild(MakeNode(child));
      tree_->addTopLevelItem(top);
      top->setExpanded(true);
    }
  }
  view::MirrorState(tree_, c);
}

QProgressBar* DownloadView::Bar(int row) const {
  QTreeWidgetItem* item = rows_->topLevelItem(row);
  return item ? qobject_cast<QProgressBar*>(rows_->itemWidget(item, 1)) : nullptr;
}

void DownloadView::ShowRows(const Control& c) {
  const std::vector<ListRow>& rows = c.Rows();
  auto caption = [](const ListRow& row) { return row.cells.empty() ? QString() : Q(row.cells[0]); };
  bool same = rows_->topLevelItemCount() == static_cast<int>(rows.size());
  for (std::size_t r = 0; same && r < rows.size(); ++r)
    same = rows_->topLevelItem(static_cast<int>(r))->text(0) == caption(rows[r]);
  if (!same) {
    rows_->clear();  // frees the bars of the old rows
    for (const ListRow& row : rows) {
      auto* item = new QTreeWidgetItem(rows_, QStringList{caption(row)});
      auto* bar = new QProgressBar;
      bar->setTextVisible(true);
      bar->setAlignment(Qt::AlignCenter);
      rows_->setItemWidget(item, 1, bar);
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    QProgressBar* bar = Bar(static_cast<int>(r));
    if (!bar) continue;
    // A bar whose maximum is 0 would show Qt's busy animation; the row has no packets.
    const int maximum = std::max(rows[r].progressMax, 1);
    const int value = std::clamp(rows[r].progress, 0, maximum);
    bar->setRange(0, maximum);
    bar->setValue(value);
    // The bar is drawn over the row; screen readers read the row's own cell.
    QTreeWidgetItem* item = rows_->topLevelItem(static_cast<int>(r));
    const QString percent = QString::number(value * 100 / maximum) + QLatin1Char('%');
    item->setData(1, Qt::AccessibleTextRole, percent);
    item->setData(1, Qt::AccessibleDescriptionRole,
                  QStringLiteral("%1 / %2").arg(rows[r].progress).arg(rows[r].progressMax));
    bar->setAccessibleName(item->text(0));
  }
  view::MirrorState(rows_, c);
}

}  // namespace ol
