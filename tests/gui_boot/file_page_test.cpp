// The file pages in the wizard: the path checks, the address fields with their range checks, the
// window clamped to the mode's flash when the page is shown, Browse, and the program-file check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>
#include <filesystem>
#include <fstream>

#include "app/page_ids.h"
#include "pages/file_page.h"
#include "resources/strings.h"
#include "sim/srec_line.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

class FilePage : public ::testing::Test {
 protected:
  // The boot file page of device, with the sheet's window as given.
  CBootFilePage* Open(const std::string& device, uint32_t lowest = 0, uint32_t highest = 0xFFFFFFFF) {
    wizard = std::make_unique<WizardUnderTest>(device, 0, 0, "/dev/quill-test-port");
    wizard->Sheet().State().m_dwLowest = lowest;
    wizard->Sheet().State().m_dwHighest = highest;
    wizard->Sheet().State().m_strFile = validFile;
    EXPECT_TRUE(wizard->Show());
    wizard->ChooseOperation(OperationBoot);
    EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootFile);
    return wizard->Active<CBootFilePage>();
  }
  // Next with these field texts; true when the wizard moved on.
  bool Next(CBootFilePage* page, const QString& offset, const QString& lowest,
            const QString& highest) {
    page->m_editOffset->setText(offset);
    page->m_editLowest->setText(lowest);
    page->m_editHighest->setText(highest);
    wizard->PressNext();
    return wizard->ActiveTemplate() != PageId::BootFile;
  }
  bool NextWithPath(CBootFilePage* page, const std::string& path) {
    page->m_editFile->setText(QString::fromStdString(path));
    wizard->PressNext();
    return wizard->ActiveTemplate() != PageId::BootFile;
  }

  ScriptedPrompt prompt;
  std::string validFile = WriteProgramFile({SRecord(1, 0x100, Pattern(16, 3)), "S9030000FC"});
  std::unique_ptr<WizardUnderTest> wizard;
};

// A path of exactly length characters that names a copy of source in a folder of its own.
std::string PathOfLength(std::size_t length, const std::string& source) {
  std::string folder = ::testing::TempDir() + "quill_long_" + std::to_string(::getpid());
  while (folder.size() + 1 + 120 + 1 + 8 < length) folder += "/" + std::string(120, 'd');
  std::filesystem::create_directories(folder);
  std::string path = folder + "/";
  path += std::string(length - path.size() - 4, 'f') + ".mot";
  EXPECT_EQ(path.size(), length);
  std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

TEST_F(FilePage, PathsThatAreEmptyTooLongOrMissingKeepThePage) {
  CBootFilePage* page = Open("TX-C30");
  Screenshot(&wizard->Sheet(), "boot_file_page");
  EXPECT_FALSE(NextWithPath(page, ""));
  EXPECT_FALSE(NextWithPath(page, "    "));
  EXPECT_EQ(prompt.Ids(), (std::vector<uint32_t>{138, 138}));
  // The trimmed path is what the sheet holds; the field is selected for correction.
  EXPECT_EQ(wizard->Sheet().State().m_strFile, "");
  EXPECT_TRUE(page->m_editFile->hasFocus());
  EXPECT_EQ(page->m_editFile->selectedText(), "    ");

  prompt.messages.clear();
  const std::string exact = PathOfLength(260, validFile);
  std::string longer = exact;
  longer.insert(longer.size() - 4, "f");
  EXPECT_FALSE(NextWithPath(page, longer));
  ASSERT_EQ(prompt.Ids(), (std::vector<uint32_t>{164}));
  EXPECT_EQ(prompt.messages[0].text,
            "The entered file pathname may not be longer than 260 characters. Please shorten the "
            "file pathname and try again.");

  prompt.messages.clear();
  const std::string missing = ::testing::TempDir() + "quill_no_such_file.mot";
  EXPECT_FALSE(NextWithPath(page, missing));
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_NE(prompt.messages[0].text.find(missing), std::string::npos);

  prompt.messages.clear();
  EXPECT_TRUE(NextWithPath(page, "  " + exact + " "));
  EXPECT_TRUE(prompt.messages.empty());
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootStartSwitches);
  EXPECT_EQ(wizard->Sheet().State().m_strFile, exact);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"SB2"}));
}

TEST_F(FilePage, TheWindowIsClampedToTheModesFlashWhenShownAndTheSheetKeepsItsValuesUntilSaved) {
  CBootFilePage* page = Open("TX-C30", 0x10, 0xFFFFFFFF);
  EXPECT_EQ(page->m_editOffset->text(), "H'0");
  EXPECT_EQ(page->m_editLowest->text(), "H'10");
  EXPECT_EQ(page->m_editHighest->text(), "H'7FFF");
  EXPECT_EQ(page->m_editFile->text(), QString::fromStdString(validFile));
  EXPECT_EQ(page->m_editLowest->maxLength(), 20);
  EXPECT_EQ(page->m_editFile->maxLength(), 512);
  EXPECT_EQ(wizard->Sheet().State().m_dwHighest, 0xFFFFFFFFu);
  EXPECT_TRUE(wizard->Sheet().BackButton()->isEnabled());
  EXPECT_TRUE(wizard->Sheet().NextButton()->isEnabled());

  // A lowest address beyond the flash is clamped to its end, the highest then to the lowest.
  wizard->PressBack();
  wizard->Sheet().State().m_dwLowest = 0x9000;
  wizard->ChooseOperation(OperationBoot);
  page = wizard->Active<CBootFilePage>();
  EXPECT_EQ(page->m_editLowest->text(), "H'7FFF");
  EXPECT_EQ(page->m_editHighest->text(), "H'7FFF");
}

TEST_F(FilePage, AddressFieldsAreParsedAndCheckedAgainstTheFlashAndTheLowestAddress) {
  CBootFilePage* page = Open("TX-A10");
  struct Case {
    const char* offset;
    const char* lowest;
    const char* highest;
    uint32_t message;             // 0: accepted
    QLineEdit* CBootFilePage::*focus;
    const char* text;             // the message shown, when it matters
  } cases[] = {
      {"D'1F00", "0", "1FFFF", 132, &CBootFilePage::m_editOffset, nullptr},
      {"H'", "0", "1FFFF", 132, &CBootFilePage::m_editOffset, nullptr},
      {"0", "1F 00", "1FFFF", 132, &CBootFilePage::m_editLowest, nullptr},
      {"0", "", "1FFFF", 132, &CBootFilePage::m_editLowest, nullptr},
      {"0", "H'20000", "1FFFF", 165, &CBootFilePage::m_editLowest,
       "Please enter a hexadecimal integer value between H'0 and  H'1FFFF. A decimal value can be "
       "entered if it is prefixed with D'."},
      {"0", "H'200", "D'511", 165, &CBootFilePage::m_editHighest,
       "Please enter a hexadecimal integer value between H'200 and  H'1FFFF. A decimal value can "
       "be entered if it is prefixed with D'."},
      {"0", "0", "H'20000", 165, &CBootFilePage::m_editHighest, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.offset) + " / " + c.lowest + " / " + c.highest);
    prompt.messages.clear();
    EXPECT_FALSE(Next(page, c.offset, c.lowest, c.highest));
    ASSERT_EQ(prompt.Ids(), (std::vector<uint32_t>{c.message}));
    if (c.text) {
      EXPECT_EQ(prompt.messages[0].text, c.text);
    }
    QLineEdit* field = page->*c.focus;
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(field->selectedText(), field->text());
  }
  EXPECT_EQ(wizard->Sheet().State().m_dwLowest, 0u);  // nothing was saved by a refused exchange

  // Prefixes, blanks, case and a negative offset (the record moves down by 0x10); a highest address equal to the lowest is accepted.
  prompt.messages.clear();
  EXPECT_TRUE(Next(page, " -10 ", "h'f8", "D'248"));
  EXPECT_TRUE(prompt.messages.empty()) << prompt.messages[0].text;
  EXPECT_EQ(wizard->Sheet().State().m_dwOffset, 0xFFFFFFF0u);
  EXPECT_EQ(wizard->Sheet().State().m_dwLowest, 0xF8u);
  EXPECT_EQ(wizard->Sheet().State().m_dwHighest, 0xF8u);
}

TEST_F(FilePage, TheProgramFileCheckKeepsThePageForAnInvalidFileAndAsksWhenNothingIsInside) {
  CBootFilePage* page = Open("TX-C30");
  EXPECT_FALSE(NextWithPath(page, WriteProgramFile({SRecord(1, 0x100, Pattern(4, 1)), ""})));
  EXPECT_FALSE(NextWithPath(page, WriteProgramFile({SRecord(1, 0x100, Pattern(4, 1), true)})));
  ASSERT_EQ(prompt.Ids(), (std::vector<uint32_t>{136, 400}));

  prompt.messages.clear();
  const std::string outside = WriteProgramFile({SRecord(1, 0x100, Pattern(4, 1))});
  page->m_editLowest->setText("H'200");
  prompt.yesNoAnswer = AnswerNo;
  EXPECT_FALSE(NextWithPath(page, outside));
  ASSERT_EQ(prompt.Ids(), (std::vector<uint32_t>{140}));
  EXPECT_EQ(prompt.messages[0].buttons, MessageButtons::YesNo);
  prompt.yesNoAnswer = AnswerYes;
  EXPECT_TRUE(NextWithPath(page, outside));
  EXPECT_TRUE(wizard->Sheet().State().m_astrSelectedBlocks.empty());
}

// Intel HEX is read like S-records; content in neither format is refused with a message naming
// both, whatever the file is called.
TEST_F(FilePage, TakesIntelHexAndRefusesContentInNeitherFormat) {
  CBootFilePage* page = Open("TX-C30");
  const std::string hex = WriteProgramFile({sim::MakeIntelHexLine(0, 0x7F00, Pattern(16, 1)),
                                            sim::MakeIntelHexLine(1, 0, {})});
  EXPECT_TRUE(NextWithPath(page, hex));
  EXPECT_TRUE(prompt.messages.empty());
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"LB3"}));

  wizard->PressBack();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::BootFile);
  page = wizard->Active<CBootFilePage>();
  const std::string binary = WriteProgramFile({"\x7F" "ELF binary"});
  EXPECT_FALSE(NextWithPath(page, binary));
  ASSERT_EQ(prompt.Ids(), (std::vector<uint32_t>{StrId::UnknownFileFormat}));
  const std::string& text = prompt.messages[0].text;
  EXPECT_NE(text.find(binary), std::string::npos) << text;
  EXPECT_NE(text.find("Motorola S-record"), std::string::npos) << text;
  EXPECT_NE(text.find("Intel HEX"), std::string::npos) << text;
}

TEST_F(FilePage, BrowseOpensInTheRememberedFolderAndRemembersTheNewOneAtOnce) {
  CBootFilePage* page = Open("TX-C30");
  wizard->Sheet().State().m_strBrowsePath = "/start/folder/";
  page->m_editFile->setText("old.mot");

  QTest::mouseClick(page->m_btnBrowse, Qt::LeftButton);  // cancelled
  ASSERT_EQ(prompt.requests.size(), 1u);
  const OpenFileRequest& request = prompt.requests[0];
  EXPECT_EQ(request.title, "Open file to be programmed");
  ASSERT_EQ(request.filters.size(), 3u);
  EXPECT_EQ(request.filters[0].description, "Motorola S-record hex files (*.s;*.mot)");
  EXPECT_EQ(request.filters[0].patterns, "*.s;*.mot");
  EXPECT_EQ(request.filters[1].description, "Intel HEX files (*.hex;*.ihx)");
  EXPECT_EQ(request.filters[1].patterns, "*.hex;*.ihx");
  EXPECT_EQ(request.filters[2].description, "All Files (*.*)");
  EXPECT_EQ(request.filters[2].patterns, "*.*");
  EXPECT_EQ(request.proposedName, "old.mot");
  EXPECT_EQ(request.initialFolder, "/start/folder/");
  EXPECT_EQ(page->m_editFile->text(), "old.mot");
  EXPECT_EQ(wizard->Sheet().State().m_strBrowsePath, "/start/folder/");

  prompt.chosenFile = validFile;
  QTest::mouseClick(page->m_btnBrowse, Qt::LeftButton);
  EXPECT_EQ(page->m_editFile->text(), QString::fromStdString(validFile));
  const std::string folder = validFile.substr(0, validFile.rfind('/') + 1);
  EXPECT_EQ(wizard->Sheet().State().m_strBrowsePath, folder);
  wizard->PressBack();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::Operation);
  EXPECT_EQ(wizard->Sheet().State().m_strBrowsePath, folder);
}

// The per-board value group: each bad setting refused on Next with its message and its field
// focused (the value's place by the same check as quill-cli's), then a good one taken into the
// job and the settings.
TEST_F(FilePage, ThePerBoardValueGroupIsCheckedOnNextAndRemembered) {
  CBootFilePage* page = Open("TX-C30");  // flash H'0..H'7FFF; the file writes H'100..H'10F
  EXPECT_FALSE(page->m_groupValue->isChecked());
  page->m_radioList->setChecked(true);  // a choice in an unchecked group enables nothing
  EXPECT_FALSE(page->m_editValueList->isEnabled());
  page->m_groupValue->setChecked(true);
  EXPECT_TRUE(page->m_editValueList->isEnabled());
  EXPECT_FALSE(page->m_editValueFrom->isEnabled());
  const std::string missing = ::testing::TempDir() + "quill_no_such_list.txt";
  struct Case {
    const char* address;
    const char* format;
    const char* from;
    const char* step;
    const char* list;  // nullptr: the counter
    const char* message;
  } cases[] = {
      {"7G00", "u32le", "1", "1", nullptr, "Invalid numeric value"},
      {"7F00", "u33le", "1", "1", nullptr, "'u33le' is no format of a per-board value. Accepted: u16le, u16be"},
      {"7F00", "dec:20", "1", "1", nullptr, "'dec:20' is no format"},
      {"7F00", "u32le", "12ab", "1", nullptr, "The counter's start '12ab' is no number"},
      {"7F00", "u16le", "70000", "1", nullptr, "at most 65535"},
      {"7F00", "u32le", "1", "0", nullptr, "The counter's step '0' is no number from 1"},
      {"7F00", "u32le", "1", "1", "", "Please enter the file of the per-board values"},
      {"7F00", "u32le", "1", "1", missing.c_str(), "cannot be read"},
      {"10C", "u64le", "1", "1", nullptr, "writes address H'10C, where the board's own value goes"},
      {"7FFE", "u32le", "1", "1", nullptr,
       "The per-board value's 4 bytes at H'7FFE do not lie inside the window H'0 to H'7FFF."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " " + c.format + " " + c.from + ":" + c.step);
    prompt.messages.clear();
    page->m_editValueAddress->setText(c.address);
    page->m_comboValueFormat->setCurrentText(c.format);
    page->m_editValueFrom->setText(c.from);
    page->m_editValueStep->setText(c.step);
    (c.list ? page->m_radioList : page->m_radioCounter)->setChecked(true);
    page->m_editValueList->setText(c.list ? c.list : "");
    wizard->PressNext();
    EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootFile);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_NE(prompt.messages[0].text.find(c.message), std::string::npos) << prompt.messages[0].text;
  }
  EXPECT_TRUE(page->m_editValueAddress->hasFocus());  // the place's refusal names the address

  // The list file through the page's file dialog; then the counter is chosen after all.
  page->m_radioList->setChecked(true);
  prompt.chosenFile = "/lists/serials.txt";
  QTest::mouseClick(page->m_btnValueBrowse, Qt::LeftButton);
  EXPECT_EQ(page->m_editValueList->text(), "/lists/serials.txt");
  EXPECT_EQ(prompt.requests.back().title, "Open the list of per-board values");

  prompt.messages.clear();
  page->m_radioCounter->setChecked(true);
  page->m_editValueAddress->setText("7F00");
  page->m_comboValueFormat->setCurrentText("u32be");
  page->m_editValueFrom->setText("0x10");
  page->m_editValueStep->setText("2");
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::BootStartSwitches) << prompt.messages[0].text;
  const WizardState& state = wizard->Sheet().State();
  // A boot programs every block: the value's block joins the file's.
  EXPECT_EQ(state.m_astrSelectedBlocks, (std::vector<std::string>{"SB2", "LB3"}));
  EXPECT_EQ(state.m_dwReservedFirst, 0x7F00u);
  EXPECT_EQ(state.m_nReservedLength, 4u);

  ASSERT_TRUE(wizard->Sheet().SaveSettings());
  WizardState loaded;
  ASSERT_TRUE(SettingsStore(wizard->SettingsPath()).Load(loaded));
  EXPECT_EQ(loaded.m_nValueOn, 1);
  EXPECT_EQ(loaded.m_dwValueAddress, 0x7F00u);
  EXPECT_EQ(loaded.m_strValueFormat, "u32be");
  EXPECT_EQ(loaded.m_strValueFrom, "0x10");
  EXPECT_EQ(loaded.m_strValueStep, "2");
  EXPECT_EQ(loaded.m_strValueList, "");
  // Shown again as saved; switched off, the group's fields are kept but not checked.
  wizard->PressBack();
  EXPECT_EQ(page->m_editValueAddress->text(), "H'7F00");
  EXPECT_EQ(page->m_comboValueFormat->currentText(), "u32be");
  page->m_groupValue->setChecked(false);
  page->m_comboValueFormat->setCurrentText("nonsense");
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootStartSwitches);
  EXPECT_EQ(wizard->Sheet().State().m_nReservedLength, 0u);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"SB2"}));
}

TEST_F(FilePage, TheUserFilePageLeavesTheButtonsAsThePreviousPageSetThem) {
  wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 0, "/dev/quill-test-port");
  CFlashSheet& sheet = wizard->Sheet();
  sheet.State().m_strFile = validFile;
  sheet.AddPage(new CUserFilePage);
  ASSERT_TRUE(wizard->Show());
  sheet.SetWizardButtons(PSWIZB_NEXT);
  ASSERT_TRUE(sheet.SetActivePage(1));
  auto* page = wizard->Active<CUserFilePage>();
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  EXPECT_EQ(page->findChild<QLabel*>("heading")->text(), "User Mode Program File Specify");
  EXPECT_EQ(page->m_editHighest->text(), "H'7FFF");
  Screenshot(&sheet, "user_file_page");
}

}  // namespace
}  // namespace quill::test
