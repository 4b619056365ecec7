// Helpers of the user-mode page tests: the rows of a block list as a user sees and clicks them.
#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QStringList>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <string>
#include <vector>

namespace quill::test {

// The first-column texts of every row, top to bottom.
inline QStringList RowNames(const QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

// The names of the selected rows, top to bottom.
inline QStringList SelectedNames(const QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    if (list->topLevelItem(i)->isSelected()) names << list->topLevelItem(i)->text(0);
  return names;
}

inline QStringList Names(const std::vector<std::string>& names) {
  QStringList out;
  for (const std::string& n : names) out << QString::fromStdString(n);
  return out;
}

// Clicks the row with the mouse; with Ctrl held the click toggles the row alone.
inline void ClickRow(QTreeWidget* list, const QString& name,
                     Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
  const QList<QTreeWidgetItem*> found = list->findItems(name, Qt::MatchExactly, 0);
  if (found.size() != 1) {
    ADD_FAILURE() << "no single row " << name.toStdString();
    return;
  }
  list->scrollToItem(found[0]);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers,
                    list->visualItemRect(found[0]).center());
}

// Clicks a button near its left end, where a radio button's mark is.
inline void ClickButton(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier,
                    QPoint(std::min(8, button->width() / 2), button->height() / 2));
}

// Chooses the entry with this text (or, for the port list, this path as its data) of a drop-down
// list with the keyboard, as a user would.
inline bool ChooseText(QComboBox* combo, const QString& text) {
  int index = combo->findText(text);
  if (index < 0) index = combo->findData(text);
  if (index < 0) return false;
  combo->setFocus();
  for (int guard = 0; guard <= combo->count() && combo->currentIndex() < index; ++guard)
    QTest::keyClick(combo, Qt::Key_Down);
  for (int guard = 0; guard <= combo->count() && combo->currentIndex() > index; ++guard)
    QTest::keyClick(combo, Qt::Key_Up);
  return combo->currentIndex() == index;
}

}  // namespace quill::test
