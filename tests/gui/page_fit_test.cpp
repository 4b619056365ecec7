// Every page of every page set keeps its contents inside the window: each visible widget within
// its page, and the page within the window with a margin on every side. Checked at the default
// font and at a larger one, where a fixed-size control would be cut off first.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QLayout>
#include <QStackedWidget>
#include <QWidget>
#include <memory>

#include "app/flash_sheet.h"
#include "gui_support.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"

using namespace quill;
using quill::test::RecordingPrompt;
using quill::test::TempSettings;

namespace {

constexpr int kWindowMargin = 4;  // pixels between a page and the window's edge, at least

// The widgets of page that stick out of it, as "name (x,y w x h)" for the failure message.
QStringList Overflowing(const CWizardPage* page) {
  QStringList out;
  const QRect bounds(QPoint(0, 0), page->size());
  for (const QWidget* w : page->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(const_cast<CWizardPage*>(page)) || w->isWindow()) continue;
    const QRect rect(w->mapTo(page, QPoint(0, 0)), w->size());
    if (!bounds.contains(rect)) {
      out << QStringLiteral("%1 %2 (%3,%4 %5x%6 in %7x%8)")
                 .arg(QString::fromLatin1(w->metaObject()->className()), w->objectName())
                 .arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height())
                 .arg(bounds.width()).arg(bounds.height());
    }
  }
  return out;
}

void CheckEveryPage(CFlashSheet& sheet, const char* set) {
  // Each page is brought to the front of the sheet's stack as the sheet shows it, without its
  // activation hooks (a progress page's would start an operation).
  auto* stack = sheet.findChild<QStackedWidget*>();
  ASSERT_NE(stack, nullptr);
  for (int i = 0; i < sheet.GetPageCount(); ++i) {
    CWizardPage* page = sheet.GetPage(i);
    stack->setCurrentWidget(page);
    QApplication::processEvents();
    const QStringList overflow = Overflowing(page);
    EXPECT_TRUE(overflow.isEmpty()) << set << ", page " << page->TemplateId() << ": "
                                    << overflow.join(QStringLiteral("; ")).toStdString();
    const QRect inWindow(page->mapTo(&sheet, QPoint(0, 0)), page->size());
    const QRect window = sheet.rect().adjusted(kWindowMargin, kWindowMargin, -kWindowMargin, -kWindowMargin);
    EXPECT_TRUE(window.contains(inWindow))
        << set << ", page " << page->TemplateId() << " at " << inWindow.x() << "," << inWindow.y()
        << " " << inWindow.width() << "x" << inWindow.height() << " in a window of "
        << sheet.width() << "x" << sheet.height();
  }
}

class PagesFit : public ::testing::TestWithParam<int> {};

TEST_P(PagesFit, EveryPageOfEveryPageSetStaysInsideTheWindow) {
  const QFont saved = QApplication::font();
  QFont font = saved;
  if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * GetParam() / 100.0);
  QApplication::setFont(font);
  {
    TempSettings file;
    RecordingPrompt prompt;
    CFlashSheet sheet(file.Store(), CreatePage);
    COperationPage operation(&sheet);
    sheet.AddPage(&operation);
    sheet.show();
    const struct {
      const char* name;
      int operation;
      int user;  // -1: no user page set
    } sets[] = {{"configuration", OperationConfigure, -1},
                {"boot", OperationBoot, -1},
                {"user program", OperationUser, UserOperationProgramErase},
                {"user erase", OperationUser, UserOperationErase}};
    for (const auto& s : sets) {
      sheet.SetOperationPages(s.operation);
      if (s.user >= 0) sheet.SetUserOperationPages(s.user);
      QApplication::processEvents();
      CheckEveryPage(sheet, s.name);
    }
  }
  QApplication::setFont(saved);
}

// The default font, and one a quarter larger (a desktop's larger font, or another default font
// that runs wider).
INSTANTIATE_TEST_SUITE_P(Fonts, PagesFit, ::testing::Values(100, 125));

}  // namespace
