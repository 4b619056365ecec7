// The block selection pages of user mode: the flash block map of the configured device and mode
// as a list of name, first and last address, with the blocks of the current choice selected. The
// choice goes back into the sheet's m_astrSelectedBlocks, in map order, whenever the page is
// left. On the program page a block left unselected is not written; the erase page erases exactly
// the selected blocks and refuses to go on with none.
#pragma once

#include <cstdint>

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QPushButton;
class QTreeWidget;

namespace quill {

class CBlocksPage : public CWizardPage {
  Q_OBJECT

 public:
  // Loading rebuilds the columns and rows from the block map and selects the rows whose names
  // are in m_astrSelectedBlocks; saving replaces m_astrSelectedBlocks by the selected rows' names.
  bool DoDataExchange(bool bSave) override;
  void OnSelectAll();
  void OnDeselectAll();

  // The width unit of the columns ("Name" one unit, "Starts" and "Ends" two each) for a list of
  // listWidth pixels, its frame included, and a vertical scroll bar of scrollBarWidth pixels.
  static int ColumnWidthUnit(int listWidth, int scrollBarWidth);
  // A block address as the list shows it: H' and eight upper-case hexadecimal digits.
  static QString FormatBlockAddress(uint32_t address);

  QTreeWidget* m_listBlocks = nullptr;      // 1015
  QPushButton* m_btnSelectAll = nullptr;    // 1025
  QPushButton* m_btnDeselectAll = nullptr;  // 1026

 protected:
  // Where the list and its two buttons stand, in dialog units of the page.
  struct Layout {
    int textHeight;
    int listTop;
    int listHeight;
    int selectAllTop;
    int deselectAllTop;
  };
  CBlocksPage(int templateId, const QString& heading, const QString& text, Layout layout,
              const QString& footer);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FillList();
  // The columns in fifths of the list's width: one for the name, two for each address.
  void SizeColumns();
  void SaveChoice();
};

class CUserBlocksPage : public CBlocksPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserBlocks;
  CUserBlocksPage();
  int OnWizardNext() override;
};

class CEraseBlocksPage : public CBlocksPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::EraseBlocks;
  CEraseBlocksPage();
  int OnWizardNext() override;
};

}  // namespace quill
