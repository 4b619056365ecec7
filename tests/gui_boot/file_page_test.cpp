// The file pages in the wizard: the path checks, the address fields with their range checks, the
// window clamped to the mode's flash when the page is shown, Browse, and the program-file check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
