#include "pages/blocks_page.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qt_text.h"
#include "app/user_prompt.h"
#include "app/wizard_value.h"
#include "resources/strings.h"

namespace quill {

namespace {


// The list's width, the buttons' size and their distance from the list (dialog units).
constexpr int kListWidth = 204;
constexpr int kButtonLeft = 211;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;

// Dialog units to pixels in the page's font: a horizontal unit is a quarter of the average
// character width, a vertical unit an eighth of the character height.
struct DialogUnits {
  explicit DialogUnits(const QFontMetrics& fm)
      : charWidth(fm.horizontalAdvance(QStringLiteral(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                  52.0),
        charHeight(fm.height()) {}
  int X(int du) const { return static_cast<int>(du * charWidth / 4 + 0.5); }
  int Y(int du) const { return (du * charHeight + 4) / 8; }
  double charWidth;
  int charHeight;
};

}  // namespace

namespace {

// A flat list of whole rows, several selectable at once, nothing editable.
void SetUpBlockList(QTreeWidget* list) {
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->header()->setStretchLastSection(false);
  list->header()->setSectionsMovable(false);
  list->setFocusPolicy(Qt::StrongFocus);
}

}  // namespace

CBlocksPage::CBlocksPage(int templateId, const QString& heading, const QString& text,
                         Layout layout, const QString& footer)
    : CWizardPage(templateId, QStringLiteral("QUILL")) {
  const DialogUnits du(fontMetrics());
  QVBoxLayout* page = MakePageLayout(heading);
  QLabel* textLabel = MakeText(text, this);
  textLabel->setMinimumHeight(du.Y(layout.textHeight));
  page->addWidget(textLabel);

  // The list and its buttons stand where the dialog template puts them, in a layout rather than at
  // fixed places: the buttons are as wide as their text needs, and the page (and with it the
  // window) is as wide as list and buttons together, so nothing is cut off at its edge.
  auto* area = new QWidget(this);
  auto* row = new QHBoxLayout(area);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(du.X(kButtonLeft - kListWidth));
  m_listBlocks = new QTreeWidget(area);
  m_listBlocks->setObjectName(QStringLiteral("list1015"));
  m_listBlocks->setFixedHeight(du.Y(layout.listHeight));
  m_listBlocks->setFixedWidth(du.X(kListWidth));
  SetUpBlockList(m_listBlocks);
  m_listBlocks->installEventFilter(this);
  row->addWidget(m_listBlocks);

  m_btnSelectAll = new QPushButton(QStringLiteral("&Select All"), area);
  m_btnSelectAll->setObjectName(QStringLiteral("button1025"));
  m_btnDeselectAll = new QPushButton(QStringLiteral("&Deselect All"), area);
  m_btnDeselectAll->setObjectName(QStringLiteral("button1026"));
  int buttonWidth = du.X(kButtonWidth);
  for (QPushButton* b : {m_btnSelectAll, m_btnDeselectAll}) {
    b->setAutoDefault(false);
    buttonWidth = std::max(buttonWidth, b->sizeHint().width());
  }
  auto* buttons = new QVBoxLayout;
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(0);
  buttons->addSpacing(du.Y(layout.selectAllTop - layout.listTop));
  buttons->addWidget(m_btnSelectAll);
  buttons->addSpacing(du.Y(layout.deselectAllTop - layout.selectAllTop - kButtonHeight));
  buttons->addWidget(m_btnDeselectAll);
  buttons->addStretch(1);
  for (QPushButton* b : {m_btnSelectAll, m_btnDeselectAll}) {
    b->setFixedSize(buttonWidth, std::max(du.Y(kButtonHeight), b->sizeHint().height()));
  }
  row->addLayout(buttons);
  row->addStretch(1);

  page->addSpacing(4);
  page->addWidget(area);
  page->addStretch(1);
  page->addWidget(MakeText(footer, this));

  connect(m_btnSelectAll, &QPushButton::clicked, this, &CBlocksPage::OnSelectAll);
  connect(m_btnDeselectAll, &QPushButton::clicked, this, &CBlocksPage::OnDeselectAll);
}

int CBlocksPage::ColumnWidthUnit(int listWidth, int scrollBarWidth) {
  return std::max(0, (listWidth - scrollBarWidth - 4) / 5);
}

QString CBlocksPage::FormatBlockAddress(uint32_t address) {
  return QString::asprintf("H'%8.8lX", static_cast<unsigned long>(address));
}

bool CBlocksPage::DoDataExchange(bool bSave) {
  if (bSave)
    SaveChoice();
  else
    FillList();
  return true;
}

void CBlocksPage::FillList() {
  const WizardState& state = State();
  // Every activation starts from nothing, so the columns are never doubled.
  m_listBlocks->clear();
  m_listBlocks->setColumnCount(0);

  const uint32_t titles[] = {StrId::ColumnName, StrId::ColumnStarts, StrId::ColumnEnds};
  m_listBlocks->setColumnCount(3);
  QTreeWidgetItem* header = m_listBlocks->headerItem();
  for (int c = 0; c < 3; ++c) {
    header->setText(c, Text(titles[c]));
    header->setTextAlignment(c, Qt::AlignLeft | Qt::AlignVCenter);
  }
  SizeColumns();

  if (!state.m_pDevice) return;
  const int mode = state.ModeIndex();
  const FlashBlock* blocks = state.m_pDevice->GetBlocks(mode);
  for (int i = 0; i < state.m_pDevice->GetBlockCount(mode); ++i) {
    const FlashBlock& block = blocks[i];
    auto* row = new QTreeWidgetItem(m_listBlocks);
    row->setText(0, QString::fromLatin1(block.name));
    row->setText(1, FormatBlockAddress(block.start));
    row->setText(2, FormatBlockAddress(block.end));
    // A name the map lacks selects nothing; the names are compared exactly, case and all.
    for (const std::string& name : state.m_astrSelectedBlocks)
      if (name == block.name) row->setSelected(true);
  }
}

void CBlocksPage::SaveChoice() {
  std::vector<std::string>& chosen = State().m_astrSelectedBlocks;
  chosen.clear();
  for (int i = 0; i < m_listBlocks->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = m_listBlocks->topLevelItem(i);
    if (row->isSelected()) chosen.push_back(row->text(0).toStdString());
  }
}

void CBlocksPage::OnSelectAll() {
  m_listBlocks->selectAll();
  m_listBlocks->setFocus(Qt::OtherFocusReason);
}

void CBlocksPage::OnDeselectAll() {
  m_listBlocks->clearSelection();
  m_listBlocks->setFocus(Qt::OtherFocusReason);
}

void CBlocksPage::SizeColumns() {
  if (m_listBlocks->columnCount() != 3) return;
  const int w = ColumnWidthUnit(m_listBlocks->width(),
                                m_listBlocks->style()->pixelMetric(QStyle::PM_ScrollBarExtent,
                                                                   nullptr, m_listBlocks));
  m_listBlocks->setColumnWidth(0, w);
  m_listBlocks->setColumnWidth(1, 2 * w);
  m_listBlocks->setColumnWidth(2, 2 * w);
}

bool CBlocksPage::eventFilter(QObject* watched, QEvent* event) {
  // The list takes the page's width left beside its buttons; the columns follow it.
  if (watched == m_listBlocks && event->type() == QEvent::Resize) SizeColumns();
  // The selection is drawn only while the list has the keyboard focus.
  if (watched == m_listBlocks &&
      (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
    if (event->type() == QEvent::FocusIn) {
      m_listBlocks->setPalette(QPalette());  // inherits the page's colours again
    } else {
      QPalette palette = m_listBlocks->palette();
      for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, palette.color(group, QPalette::Base));
        palette.setColor(group, QPalette::HighlightedText, palette.color(group, QPalette::Text));
      }
      m_listBlocks->setPalette(palette);
    }
  }
  return CWizardPage::eventFilter(watched, event);
}

CUserBlocksPage::CUserBlocksPage()
    : CBlocksPage(kTemplateId, QStringLiteral("Blocks to Program"),
                  QStringLiteral("The memory blocks to be programmed, as determined by your "
                                 "S-record file, Address Offset, Lowest and Highest Address, are "
                                 "highlighted. If you wish to override and \"write protect\" some "
                                 "blocks please deselect appropriate blocks."),
                  {.textHeight = 26, .listTop = 49, .listHeight = 75, .selectAllTop = 68,
                   .deselectAllTop = 94},
                  QStringLiteral("Click \"Next\" to continue. Click \"Back\" to re-specify "
                                 "download file and/or address offset, lowest/highest address "
                                 "range (highlighted blocks will be changed).")) {}

int CUserBlocksPage::OnWizardNext() {
  // An empty choice is accepted: the run then erases nothing and writes into no block.
  if (!UpdateData(true)) return -1;
  // The per-board value's block must stay among those programmed.
  if (const std::string problem = CheckValuePlace(State(), false); !problem.empty()) {
    Prompt().ShowMessage(this, 0, problem, MessageButtons::Ok);
    return -1;
  }
  return 0;
}

CEraseBlocksPage::CEraseBlocksPage()
    : CBlocksPage(kTemplateId, QStringLiteral("Blocks to Erase"),
                  QStringLiteral("Select the Flash Memory Blocks to be erased."),
                  {.textHeight = 8, .listTop = 35, .listHeight = 99, .selectAllTop = 59,
                   .deselectAllTop = 94},
                  QStringLiteral("Click \"Next\" to continue. Click \"Back\" to re-specify User "
                                 "Mode Operation.")) {}

int CEraseBlocksPage::OnWizardNext() {
  if (!UpdateData(true)) return -1;
  if (State().m_astrSelectedBlocks.empty()) {
    MessageBoxId(this, StrId::SelectABlock);
    return -1;
  }
  return 0;
}

}  // namespace quill
