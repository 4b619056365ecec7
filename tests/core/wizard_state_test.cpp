#include <gtest/gtest.h>

#include "app/wizard_state.h"

using namespace quill;

TEST(WizardState, DefaultsOfAFirstStart) {
  WizardState s;
  s.m_strFile = "x";
  s.m_astrSelectedBlocks = {"LB0"};
  s.ResetToDefaults();
  EXPECT_EQ(s.m_nOperation, 0);
  EXPECT_EQ(s.m_nClockSpeed, 10000);
  EXPECT_EQ(s.m_dwHighest, 0xFFFFFFFFu);
  EXPECT_TRUE(s.m_strComPort.empty());
  EXPECT_TRUE(s.m_strFile.empty());
  EXPECT_TRUE(s.m_astrSelectedBlocks.empty());
  s.DeriveCatalogueRefs();
  EXPECT_EQ(s.m_pDevice, GetDevice(0));
  EXPECT_EQ(s.m_strMCUType, "TX-A10");
  // Clock 10000 lies beyond the list: the reference is the last, highest range.
  EXPECT_EQ(s.m_pClockRange, &GetDevice(0)->GetClockRanges(0)[8]);
  EXPECT_EQ(s.m_nClockSpeed, 10000);
}

TEST(WizardState, OutOfRangeIndicesNeverLeaveTheCatalogue) {
  WizardState s;
  s.m_strMCUType = "TX-C31";
  s.m_nMCUMode = 7;
  s.m_nClockSpeed = -3;
  s.DeriveCatalogueRefs();
  EXPECT_EQ(s.m_pDevice, GetDevice(2));
  EXPECT_EQ(s.ModeIndex(), 1);
  EXPECT_EQ(s.m_pClockRange, &GetDevice(2)->GetClockRanges(1)[0]);
  EXPECT_EQ(s.m_nMCUMode, 7);  // kept as stored
  s.m_nMCUMode = -1;
  s.m_nClockSpeed = 4;
  s.DeriveCatalogueRefs();
  EXPECT_EQ(s.m_pClockRange, &GetDevice(2)->GetClockRanges(0)[4]);
  EXPECT_EQ(s.m_pClockRange->kernelId, 203u);
}

TEST(WizardState, UnknownDeviceFallsBackToDeviceZero) {
  WizardState s;
  s.m_strMCUType = "TX-Z99";
  s.m_nClockSpeed = 2;
  s.DeriveCatalogueRefs();
  EXPECT_EQ(s.m_pDevice, GetDevice(0));
  EXPECT_EQ(s.m_strMCUType, "TX-A10");
  EXPECT_EQ(s.m_pClockRange->kernelId, 149u);
}
