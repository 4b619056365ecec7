// The settings store: the values that the wizard remembers between runs (the thirteen of the
// first versions, then the per-board value's, the record store's and Automatic Mode's), kept with
// QSettings under organisation "Velmora", application "Quill", group "1.0" (on Windows the
// registry key Software\Velmora\Quill\1.0 with DWORD and SZ values; elsewhere an INI file in the
// user's configuration folder). QtCore only.
#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "app/wizard_state.h"

class QSettings;

namespace quill {

// One remembered value: its name, and the member of the shared wizard state it is kept in. A
// 32-bit member is stored as a number (a signed one as its 32-bit pattern), a yes/no member as
// the number 1 or 0 (any number but 0 reads as yes), a string member as text.
struct SettingValue {
  const char* name;
  std::variant<int32_t WizardState::*, uint32_t WizardState::*, std::string WizardState::*,
               bool WizardState::*>
      member;
};

// The values in the order in which they are read and written.
constexpr std::size_t kSettingCount = 24;
extern const SettingValue kSettingValues[kSettingCount];

// Texts of this many characters or more are never written, and a stored text of that length
// cannot be read back (it would not fit the 2048-byte buffer with its terminating zero).
constexpr std::size_t kMaxSettingText = 2048;

class SettingsStore {
 public:
  // The user's own settings.
  SettingsStore();
  // Settings kept in the INI file at iniPath instead (tests use a temporary folder).
  explicit SettingsStore(QString iniPath);

  // Every member to its default, the block selection emptied, then the stored values read over
  // the defaults (an absent or unreadable value keeps its default), and m_pDevice and
  // m_pClockRange derived (an unknown device name becomes device 0 and its name). False when the
  // settings could not be opened; the members then hold the defaults.
  bool Load(WizardState& state) const;

  // Writes the values in order and stops at the first that cannot be written (a text
  // of kMaxSettingText characters or more); the values before it stay written. True when every
  // value was written and the store took them.
  bool Save(const WizardState& state) const;

  // The reading rules on their own, for one stored value: a number is any 32-bit value
  // (decimal text as INI files keep it, or exactly four bytes taken as a little-endian number,
  // as the registry keeps a DWORD); a text is any stored text, byte string or number shorter
  // than kMaxSettingText characters. False leaves the target unchanged.
  static bool ReadDword(const QVariant& stored, uint32_t& value);
  static bool ReadText(const QVariant& stored, std::string& text);

 private:
  // The open settings group, or nullptr when the store cannot be read and written.
  std::unique_ptr<QSettings> Open() const;

  QString m_iniPath;  // empty: the user's own settings
};

}  // namespace quill
