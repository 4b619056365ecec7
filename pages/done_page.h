// The result pages: after an operation they say whether it succeeded, what went wrong if it did
// not, and after programming how many bytes were programmed and skipped. Back stays disabled;
// Next leads back to where the next operation is chosen.
#pragma once

#include <cstdint>

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QLabel;

namespace quill {

class CDonePage : public CWizardPage {
  Q_OBJECT

 public:
  // Loading fills the labels from the outcome of the last operation.
  bool DoDataExchange(bool bSave) override;
  bool OnSetActive() override;
  bool OnKillActive() override;

  QLabel* m_staticCounts = nullptr;  // 1023: the counts (nullptr on the erase page)
  QLabel* m_staticTitle = nullptr;   // 1026
  QLabel* m_staticResult = nullptr;  // 1022
  QLabel* m_staticClosing = nullptr;  // the closing words (1023 on the erase page)

 protected:
  struct Texts {
    uint32_t successTitle;
    uint32_t failureTitle;
    uint32_t successResult;
  };
  // closing: the closing words, first line and the line after the VPP sentence (Manual Mode
  // asks the person to switch VPP off, Automatic Mode says it has been); counts: whether the
  // page shows the byte counts.
  CDonePage(int templateId, Texts texts, bool counts, const QString& finished, const QString& next);

 private:
  Texts m_texts;
  QString m_strFinished;
  QString m_strNext;
};

class CBootDonePage : public CDonePage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::BootDone;
  CBootDonePage();
  int OnWizardNext() override;
};

class CUserDonePage : public CDonePage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserDone;
  CUserDonePage();
  int OnWizardNext() override;
};

class CEraseDonePage : public CDonePage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::EraseDone;
  CEraseDonePage();
  int OnWizardNext() override;
};

}  // namespace quill
