// Settings that are corrupt, unreadable or read-only: the wizard starts with the defaults, its
// pages work, and at the end it saves what it can - over a corrupt file, and never over one it
// may not write. File permissions mean nothing to root, so run as root the tests go on as an
// unprivileged user (see main below).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>
#include <functional>

#include "app/wizard_state.h"
#include "app/flash_sheet.h"
#include "app/page_ids.h"
#include "app/user_prompt.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"

namespace quill {
namespace {

// No message box may wait for a user who is not there.
class NoPrompt final : public UserPrompt {
 public:
  NoPrompt() : m_previous(SetPrompt(this)) {}
  ~NoPrompt() override { SetPrompt(m_previous); }
  int ShowMessage(QWidget*, uint32_t id, const std::string& text, MessageButtons) override {
    ADD_FAILURE() << "unexpected message " << id << ": " << text;
    return AnswerOk;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const OpenFileRequest&) override {
    return std::nullopt;
  }

 private:
  UserPrompt* m_previous;
};

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

struct Damage {
  const char* name;
  QByteArray contents;  // the settings file as found
  mode_t fileMode;      // its permissions
  bool saved;           // the wizard's choices reach the file at the end
};

const QByteArray kGood =
    "[1.0]\nLastOperation=1\nLastMCUType=TX-C30\nLastComPort=/dev/ttyS0\nLastFile=/old.mot\n";

const Damage kCases[] = {
    {"BinaryGarbage", QByteArray("\x00\xff\xfe[[[\n===\n\x01\x02\x80", 14), 0600, true},
    {"TruncatedSection", "[1.0\nLastOperation=2\nLastFile=\"unterminated\n[", 0600, true},
    {"NonsenseValues",
     "[1.0]\nLastOperation=-99\nLastMCUType=" + QByteArray(5000, 'X') +
         "\nLastClockSpeed=abc\nLastMCUMode=1e99\nLastOffset=-1-1\nLastHighest=@Variant(\\0)\n",
     0600, true},
    {"Unreadable", kGood, 0000, false},
    {"ReadOnly", kGood, 0444, false},
};

class DamagedSettings : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedSettings, WizardStartsWithDefaultsWorksAndSavesWhatItCan) {
  const Damage& c = GetParam();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("quill.ini");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(c.contents);
  }
  ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.fileMode), 0);
  NoPrompt prompt;
  {
    CFlashSheet sheet{SettingsStore(path), CreatePage};
    COperationPage operation(&sheet);
    sheet.AddPage(&operation);
    // What could not be read is at its default; unreadable and read-only stores give all
    // defaults.
    EXPECT_EQ(sheet.State().m_pDevice, GetDevice(0));
    EXPECT_EQ(sheet.State().m_strMCUType, "TX-A10");
    EXPECT_NE(sheet.State().m_pClockRange, nullptr);
    EXPECT_EQ(sheet.State().m_dwLowest, 0u);
    if (!c.saved) {
      EXPECT_EQ(sheet.State().m_nOperation, OperationConfigure);
      EXPECT_EQ(sheet.State().m_strFile, "");
    }
    bool configured = false;
    QTimer::singleShot(0, [&] {
      EXPECT_TRUE(QTest::qWaitForWindowActive(&sheet));
      // The pages work: the configuration page opens with the default device.
      QRadioButton* radio = operation.Radio(OperationConfigure);
      QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
      QTest::mouseClick(sheet.NextButton(), Qt::LeftButton);
      CWizardPage* page = sheet.GetActivePage();
      if (page != nullptr && page->TemplateId() == PageId::Configure) {
        auto* device = page->findChild<QComboBox*>();
        configured = device != nullptr && device->count() > 0;
      }
      sheet.State().m_strFile = "/chosen/by/the/user.mot";
      QTest::mouseClick(sheet.ExitButton(), Qt::LeftButton);
    });
    sheet.exec();
    EXPECT_TRUE(configured);
  }
  ::chmod(QFile::encodeName(path).constData(), 0600);
  if (c.saved) {
    WizardState saved;
    ASSERT_TRUE(SettingsStore(path).Load(saved));
    EXPECT_EQ(saved.m_strFile, "/chosen/by/the/user.mot");
    EXPECT_EQ(saved.m_strMCUType, "TX-A10");
    EXPECT_EQ(saved.m_nOperation, OperationConfigure);
  } else {
    // A store the wizard may not write keeps what it held.
    EXPECT_EQ(ReadAll(path), c.contents);
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, DamagedSettings, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A settings path taken by a folder can be neither read nor written; the wizard still runs.
TEST(DamagedSettingsPath, FolderInPlaceOfTheFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkdir("quill.ini"));
  NoPrompt prompt;
  CFlashSheet sheet{SettingsStore(dir.filePath("quill.ini")), CreatePage};
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  EXPECT_EQ(sheet.State().m_strMCUType, "TX-A10");
  QTimer::singleShot(0, [&] { QTest::mouseClick(sheet.ExitButton(), Qt::LeftButton); });
  sheet.exec();
  EXPECT_TRUE(QFileInfo(dir.filePath("quill.ini")).isDir());
}

}  // namespace
}  // namespace quill

int main(int argc, char** argv) {
  // Root reads and writes every file whatever its permissions: go on as nobody.
  QString ownHome;
  if (::geteuid() == 0) {
    const uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      std::fprintf(stderr, "cannot leave root\n");
      return 1;
    }
    // A home of its own, so nothing of root's is read or written.
    char home[] = "/tmp/quill-settings-test-XXXXXX";
    if (::mkdtemp(home) == nullptr) return 1;
    ::setenv("HOME", home, 1);
    ::setenv("XDG_RUNTIME_DIR", home, 1);
    ::setenv("XDG_CONFIG_HOME", home, 1);
    ownHome = QString::fromLocal8Bit(home);
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  if (!ownHome.isEmpty()) QDir(ownHome).removeRecursively();
  return status;
}
