#include "progfile/job.h"

#include <algorithm>

namespace quill {

int Job::ModeIndex() const { return std::clamp<int32_t>(m_nMCUMode, 0, m_pDevice->modeCount - 1); }

int Job::ClockIndex() const {
  return std::clamp<int32_t>(m_nClockSpeed, 0, m_pDevice->GetClockRangeCount(ModeIndex()) - 1);
}

std::vector<ProgramFile> Job::ProgramFileSet() const {
  if (!m_aProgramFiles.empty() && m_aProgramFiles.front().path == m_strFile) return m_aProgramFiles;
  return {ProgramFile{m_strFile}};
}

void Job::DeriveCatalogueRefs() {
  m_pDevice = FindDeviceByName(m_strMCUType);
  if (m_pDevice == nullptr) {
    m_pDevice = GetDevice(0);
    m_strMCUType = m_pDevice->GetName();
  }
  m_pClockRange = &m_pDevice->GetClockRanges(ModeIndex())[ClockIndex()];
}

}  // namespace quill
