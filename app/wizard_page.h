// The page layer of the wizard: the base class of every page the sheet shows. A page is built
// with its controls (its dialog template) and is initialised when it is shown for the first
// time; the sheet then calls the hooks below as the user moves through the wizard.
#pragma once

#include <QString>
#include <QWidget>

#include "app/wizard_context.h"

class QLabel;
class QVBoxLayout;

namespace quill {

class CFlashSheet;

class CWizardPage : public QWidget {
  Q_OBJECT

 public:
  // templateId: the page's dialog template id; caption: its dialog caption.
  CWizardPage(int templateId, const QString& caption);
  ~CWizardPage() override;

  int TemplateId() const { return m_nTemplateId; }
  // The wizard the page was added to (nullptr before AddPage).
  WizardContext* GetContext() const;
  // True once OnInitDialog has run (the page has been shown).
  bool IsInitialised() const { return m_bInitialised; }

  // The hooks, with the defaults of a wizard page:
  // First display, just before the first OnSetActive: loads the controls (UpdateData(false)).
  virtual bool OnInitDialog();
  // The page becomes the active page: reloads the controls on every activation after the first.
  // False refuses the activation; the sheet then tries the next page in the same direction.
  virtual bool OnSetActive();
  // The page is about to be left, in whichever direction: saves the controls (UpdateData(true)).
  // False keeps the page.
  virtual bool OnKillActive();
  // Next or Back pressed: 0 moves to the following (previous) page, -1 stays, a dialog template
  // id moves to the page with that id.
  virtual int OnWizardNext();
  virtual int OnWizardBack();
  // The exchange between controls and values: bSave false loads the controls, true saves them
  // and returns false when a value is refused (the page stays).
  virtual bool DoDataExchange(bool bSave);
  // The progress notification arrived (see app/progress_notify.h).
  virtual void OnProgressNotify() {}

  bool UpdateData(bool bSave = true) { return DoDataExchange(bSave); }

 protected:
  // Sets the enabled wizard buttons of the sheet (PSWIZB_BACK | PSWIZB_NEXT).
  void SetWizardButtons(unsigned flags);
  // The shared wizard state of the wizard the page was added to.
  WizardState& State() const;
  // The heading at the top of a page with the etched line beneath it; returns the layout the
  // page adds its controls to.
  QVBoxLayout* MakePageLayout(const QString& heading);
  // A label that wraps its text.
  static QLabel* MakeText(const QString& text, QWidget* parent);

  bool event(QEvent* e) override;

 private:
  friend class CFlashSheet;
  const int m_nTemplateId;
  WizardContext* m_pContext = nullptr;  // set by the sheet that shows the page
  bool m_bInitialised = false;
  bool m_bFirstSetActive = true;
};

}  // namespace quill
