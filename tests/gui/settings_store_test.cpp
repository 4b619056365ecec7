// The settings store on a settings file of its own.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "app/wizard_state.h"
#include "app/settings_store.h"
#include "gui_support.h"

using namespace quill;
using quill::test::TempSettings;

namespace {

// Writes raw values into the settings file, as another program (or an older version) might.
void Store(const TempSettings& file, const char* name, const QVariant& value) {
  QSettings s(file.Path(), QSettings::IniFormat);
  s.beginGroup("1.0");
  s.setValue(name, value);
}

WizardState Loaded(const TempSettings& file) {
  WizardState state;
  EXPECT_TRUE(file.Store().Load(state));
  return state;
}

WizardState SomeConfiguration() {
  WizardState s;
  s.m_nOperation = 2;
  s.m_nUserOperation = 1;
  s.m_strMCUType = "TX-C31";
  s.m_nClockSpeed = 3;
  s.m_strComPort = "/dev/ttyUSB1";
  s.m_nComBootRate = 4800;
  s.m_nComUserRate = 115200;
  s.m_strBrowsePath = "/home/u/images/";
  s.m_strFile = "/home/u/images/app v2.mot";
  s.m_dwOffset = 0x80000000u;
  s.m_dwLowest = 0x1000;
  s.m_dwHighest = 0x1FFFF;
  s.m_nMCUMode = 1;
  s.m_nValueOn = 1;
  s.m_dwValueAddress = 0x7FF0;
  s.m_strValueFormat = "dec:8";
  s.m_strValueFrom = "0x1000";
  s.m_strValueStep = "3";
  s.m_strValueList = "/home/u/serials.txt";
  s.m_strValueName = "line3-serial";
  s.m_strRecordStore = "sqlite:/srv/quill/records.sqlite";
  s.m_strStation = "bench 2";
  s.m_bAutomatic = true;
  s.m_strLineMap = "vpp=rts,mode=!dtr";
  return s;
}

void ExpectStoredEqual(const WizardState& a, const WizardState& b) {
  EXPECT_EQ(a.m_nOperation, b.m_nOperation);
  EXPECT_EQ(a.m_nUserOperation, b.m_nUserOperation);
  EXPECT_EQ(a.m_strMCUType, b.m_strMCUType);
  EXPECT_EQ(a.m_nClockSpeed, b.m_nClockSpeed);
  EXPECT_EQ(a.m_strComPort, b.m_strComPort);
  EXPECT_EQ(a.m_nComBootRate, b.m_nComBootRate);
  EXPECT_EQ(a.m_nComUserRate, b.m_nComUserRate);
  EXPECT_EQ(a.m_strBrowsePath, b.m_strBrowsePath);
  EXPECT_EQ(a.m_strFile, b.m_strFile);
  EXPECT_EQ(a.m_dwOffset, b.m_dwOffset);
  EXPECT_EQ(a.m_dwLowest, b.m_dwLowest);
  EXPECT_EQ(a.m_dwHighest, b.m_dwHighest);
  EXPECT_EQ(a.m_nMCUMode, b.m_nMCUMode);
  EXPECT_EQ(a.m_nValueOn, b.m_nValueOn);
  EXPECT_EQ(a.m_dwValueAddress, b.m_dwValueAddress);
  EXPECT_EQ(a.m_strValueFormat, b.m_strValueFormat);
  EXPECT_EQ(a.m_strValueFrom, b.m_strValueFrom);
  EXPECT_EQ(a.m_strValueStep, b.m_strValueStep);
  EXPECT_EQ(a.m_strValueList, b.m_strValueList);
  EXPECT_EQ(a.m_strValueName, b.m_strValueName);
  EXPECT_EQ(a.m_strRecordStore, b.m_strRecordStore);
  EXPECT_EQ(a.m_strStation, b.m_strStation);
  EXPECT_EQ(a.m_bAutomatic, b.m_bAutomatic);
  EXPECT_EQ(a.m_strLineMap, b.m_strLineMap);
}

}  // namespace

TEST(SettingsStore, FirstStartGivesTheDefaultsAndDeviceZero) {
  TempSettings file;
  WizardState state = SomeConfiguration();
  state.m_astrSelectedBlocks = {"LB0"};
  ASSERT_TRUE(file.Store().Load(state));
  EXPECT_EQ(state.m_nOperation, 0);
  EXPECT_EQ(state.m_nUserOperation, 0);
  EXPECT_EQ(state.m_strMCUType, "TX-A10");
  EXPECT_EQ(state.m_nClockSpeed, 10000);
  EXPECT_EQ(state.m_strComPort, "");
  EXPECT_EQ(state.m_nComBootRate, 9600);
  EXPECT_EQ(state.m_nComUserRate, 9600);
  EXPECT_EQ(state.m_strBrowsePath, "");
  EXPECT_EQ(state.m_strFile, "");
  EXPECT_EQ(state.m_dwOffset, 0u);
  EXPECT_EQ(state.m_dwLowest, 0u);
  EXPECT_EQ(state.m_dwHighest, 0xFFFFFFFFu);
  EXPECT_EQ(state.m_nMCUMode, 0);
  EXPECT_TRUE(state.m_astrSelectedBlocks.empty());
  EXPECT_EQ(state.m_pDevice, GetDevice(0));
  // The clock index 10000 is beyond the list; the reference is its last entry, never outside.
  const int last = GetDevice(0)->GetClockRangeCount(0) - 1;
  EXPECT_EQ(state.m_pClockRange, &GetDevice(0)->GetClockRanges(0)[last]);
}

TEST(SettingsStore, SavingAfterAFirstStartWritesEveryValueTheFirstThirteenUnchanged) {
  // The thirteen values of the first versions keep their names and order; later ones follow.
  const char* const first[] = {"LastOperation", "LastUserOperation", "LastMCUType", "LastClockSpeed",
                               "LastComPort", "LastComBootRate", "LastComUserRate", "LastBrowsePath",
                               "LastFile", "LastOffset", "LastLowest", "LastHighest", "LastMCUMode"};
  for (std::size_t i = 0; i < std::size(first); ++i) EXPECT_STREQ(kSettingValues[i].name, first[i]);
  TempSettings file;
  WizardState state;
  file.Store().Load(state);
  EXPECT_EQ(state.m_nValueOn, 0);
  EXPECT_EQ(state.m_strValueFormat, "u32le");
  EXPECT_EQ(state.m_strValueFrom, "1");
  ASSERT_TRUE(file.Store().Save(state));
  QSettings raw(file.Path(), QSettings::IniFormat);
  raw.beginGroup("1.0");
  for (const SettingValue& v : kSettingValues) EXPECT_TRUE(raw.contains(v.name)) << v.name;
  EXPECT_EQ(raw.childKeys().size(), static_cast<int>(kSettingCount));
  EXPECT_EQ(raw.value("LastClockSpeed").toLongLong(), 10000);
  EXPECT_EQ(raw.value("LastHighest").toLongLong(), 0xFFFFFFFFll);
  EXPECT_EQ(raw.value("LastMCUType").toString(), "TX-A10");
  // Manual Mode and the usual wiring until the person chooses otherwise; both come last.
  EXPECT_EQ(raw.value("AutomaticMode").toLongLong(), 0);
  EXPECT_EQ(raw.value("LineMap").toString(), "vpp=dtr,mode=rts");
  EXPECT_STREQ(kSettingValues[kSettingCount - 2].name, "AutomaticMode");
  EXPECT_STREQ(kSettingValues[kSettingCount - 1].name, "LineMap");
}

TEST(SettingsStore, EveryValueRoundTrips) {
  TempSettings file;
  const WizardState saved = SomeConfiguration();
  ASSERT_TRUE(file.Store().Save(saved));
  const WizardState loaded = Loaded(file);
  ExpectStoredEqual(loaded, saved);
  EXPECT_EQ(loaded.m_pDevice, FindDeviceByName("TX-C31"));
  EXPECT_EQ(loaded.m_pClockRange, &loaded.m_pDevice->GetClockRanges(1)[3]);

  // Signed members travel as their 32-bit pattern, and come back as they were.
  WizardState odd = saved;
  odd.m_nClockSpeed = -1;
  odd.m_nComUserRate = 0;
  odd.m_dwOffset = 0xFFFFFFFFu;
  ASSERT_TRUE(file.Store().Save(odd));
  QSettings raw(file.Path(), QSettings::IniFormat);
  EXPECT_EQ(raw.value("1.0/LastClockSpeed").toLongLong(), 0xFFFFFFFFll);
  ExpectStoredEqual(Loaded(file), odd);
}

TEST(SettingsStore, UnknownDeviceNameFallsBackToDeviceZero) {
  TempSettings file;
  for (const char* name : {"TX-Z99", "tx-a10", "TX-C30 ", ""}) {
    Store(file, "LastMCUType", QString(name));
    const WizardState state = Loaded(file);
    EXPECT_EQ(state.m_pDevice, GetDevice(0)) << name;
    EXPECT_EQ(state.m_strMCUType, "TX-A10") << name;
  }
  Store(file, "LastMCUType", QString("TX-C30"));
  EXPECT_EQ(Loaded(file).m_pDevice, FindDeviceByName("TX-C30"));
}

TEST(SettingsStore, ValuesStoredWithAnotherType) {
  TempSettings file;
  // Four bytes of raw data are the number they form (as a DWORD is laid out).
  Store(file, "LastOffset", QByteArray("\x78\x56\x34\x12", 4));
  EXPECT_EQ(Loaded(file).m_dwOffset, 0x12345678u);
  // Longer data does not fit the number and keeps the default.
  Store(file, "LastOffset", QByteArray("\x78\x56\x34\x12\x00", 5));
  EXPECT_EQ(Loaded(file).m_dwOffset, 0u);
  Store(file, "LastClockSpeed", QString("fast"));
  EXPECT_EQ(Loaded(file).m_nClockSpeed, 10000);
  Store(file, "LastComBootRate", QString("99999999999"));
  EXPECT_EQ(Loaded(file).m_nComBootRate, 9600);
  Store(file, "LastComBootRate", QStringList{"1", "2"});
  EXPECT_EQ(Loaded(file).m_nComBootRate, 9600);
  // A number where a text belongs is read as its text.
  Store(file, "LastComPort", 3);
  EXPECT_EQ(Loaded(file).m_strComPort, "3");
  // Raw text data ends at its terminating zero.
  Store(file, "LastFile", QByteArray("a.mot\0junk", 10));
  EXPECT_EQ(Loaded(file).m_strFile, "a.mot");
}

TEST(SettingsStore, ATextOf2048CharactersIsNeitherWrittenNorRead) {
  TempSettings file;
  const WizardState first = SomeConfiguration();
  ASSERT_TRUE(file.Store().Save(first));

  // The save stops at the long browse path: the values after it keep what was stored before.
  WizardState second;
  second.m_nOperation = 1;
  second.m_nUserOperation = 2;
  second.m_strMCUType = "TX-C30";
  second.m_nClockSpeed = 5;
  second.m_strComPort = "/dev/ttyS3";
  second.m_nComBootRate = 2400;
  second.m_nComUserRate = 2400;
  second.m_strBrowsePath = std::string(2048, 'b');
  second.m_strFile = "other.s";
  second.m_dwOffset = 7;
  second.m_dwLowest = 8;
  second.m_dwHighest = 9;
  second.m_nMCUMode = 0;
  EXPECT_FALSE(file.Store().Save(second));
  const WizardState loaded = Loaded(file);
  EXPECT_EQ(loaded.m_nOperation, 1);
  EXPECT_EQ(loaded.m_nUserOperation, 2);
  EXPECT_EQ(loaded.m_strMCUType, "TX-C30");
  EXPECT_EQ(loaded.m_nClockSpeed, 5);
  EXPECT_EQ(loaded.m_strComPort, "/dev/ttyS3");
  EXPECT_EQ(loaded.m_nComBootRate, 2400);
  EXPECT_EQ(loaded.m_nComUserRate, 2400);
  EXPECT_EQ(loaded.m_strBrowsePath, first.m_strBrowsePath);
  EXPECT_EQ(loaded.m_strFile, first.m_strFile);
  EXPECT_EQ(loaded.m_dwOffset, first.m_dwOffset);
  EXPECT_EQ(loaded.m_dwLowest, first.m_dwLowest);
  EXPECT_EQ(loaded.m_dwHighest, first.m_dwHighest);
  EXPECT_EQ(loaded.m_nMCUMode, first.m_nMCUMode);
  EXPECT_EQ(loaded.m_nValueOn, first.m_nValueOn);
  EXPECT_EQ(loaded.m_strRecordStore, first.m_strRecordStore);

  // One character less is written and read back.
  second.m_strBrowsePath = std::string(2047, 'b');
  EXPECT_TRUE(file.Store().Save(second));
  EXPECT_EQ(Loaded(file).m_strBrowsePath, second.m_strBrowsePath);

  // A stored text of 2048 characters cannot be read and leaves the default.
  Store(file, "LastFile", QString(2048, 'f'));
  EXPECT_EQ(Loaded(file).m_strFile, "");
}

TEST(SettingsStore, IndicesBeyondTheCatalogueAreKeptButNeverReadOutsideIt) {
  TempSettings file;
  WizardState stored = SomeConfiguration();  // TX-C31, two modes of nine clock ranges
  stored.m_nMCUMode = 7;
  stored.m_nClockSpeed = -3;
  stored.m_nOperation = 9;
  ASSERT_TRUE(file.Store().Save(stored));
  WizardState loaded = Loaded(file);
  EXPECT_EQ(loaded.m_nMCUMode, 7);
  EXPECT_EQ(loaded.m_nClockSpeed, -3);
  EXPECT_EQ(loaded.m_nOperation, 9);
  EXPECT_EQ(loaded.m_pClockRange, &loaded.m_pDevice->GetClockRanges(1)[0]);

  loaded.m_nMCUMode = -2;
  loaded.m_nClockSpeed = 10000;
  ASSERT_TRUE(file.Store().Save(loaded));
  const WizardState again = Loaded(file);
  EXPECT_EQ(again.m_pClockRange, &again.m_pDevice->GetClockRanges(0)[8]);
}

TEST(SettingsStore, AStoreThatCannotBeOpenedGivesDefaultsAndWritesNothing) {
  // A settings file whose folder is a plain file can be neither read nor created.
  QTemporaryDir dir;
  QFile blocker(dir.filePath("not-a-folder"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const SettingsStore store(dir.filePath("not-a-folder/quill.ini"));
  WizardState state = SomeConfiguration();
  EXPECT_FALSE(store.Load(state));
  EXPECT_EQ(state.m_strMCUType, "TX-A10");
  EXPECT_EQ(state.m_nOperation, 0);
  EXPECT_EQ(state.m_dwHighest, 0xFFFFFFFFu);
  EXPECT_EQ(state.m_pDevice, GetDevice(0));
  EXPECT_NE(state.m_pClockRange, nullptr);
  EXPECT_FALSE(store.Save(SomeConfiguration()));
}
