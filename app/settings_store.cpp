#include "app/settings_store.h"

#include <QByteArray>
#include <QSettings>
#include <limits>

namespace quill {

const SettingValue kSettingValues[kSettingCount] = {
    {"LastOperation", &WizardState::m_nOperation},
    {"LastUserOperation", &WizardState::m_nUserOperation},
    {"LastMCUType", &WizardState::m_strMCUType},
    {"LastClockSpeed", &WizardState::m_nClockSpeed},
    {"LastComPort", &WizardState::m_strComPort},
    {"LastComBootRate", &WizardState::m_nComBootRate},
    {"LastComUserRate", &WizardState::m_nComUserRate},
    {"LastBrowsePath", &WizardState::m_strBrowsePath},
    {"LastFile", &WizardState::m_strFile},
    {"LastOffset", &WizardState::m_dwOffset},
    {"LastLowest", &WizardState::m_dwLowest},
    {"LastHighest", &WizardState::m_dwHighest},
    {"LastMCUMode", &WizardState::m_nMCUMode},
    // Added after the thirteen of the first versions, which keep their names, types and order.
    {"ValueOn", &WizardState::m_nValueOn},
    {"ValueAddress", &WizardState::m_dwValueAddress},
    {"ValueFormat", &WizardState::m_strValueFormat},
    {"ValueFrom", &WizardState::m_strValueFrom},
    {"ValueStep", &WizardState::m_strValueStep},
    {"ValueList", &WizardState::m_strValueList},
    {"ValueName", &WizardState::m_strValueName},
    {"RecordStore", &WizardState::m_strRecordStore},
    {"Station", &WizardState::m_strStation},
    {"AutomaticMode", &WizardState::m_bAutomatic},
    {"LineMap", &WizardState::m_strLineMap},
};

namespace {

bool FitsDword(long long v) {
  return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<uint32_t>::max();
}

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace

SettingsStore::SettingsStore() = default;

SettingsStore::SettingsStore(QString iniPath) : m_iniPath(std::move(iniPath)) {}

std::unique_ptr<QSettings> SettingsStore::Open() const {
  std::unique_ptr<QSettings> settings =
      m_iniPath.isEmpty()
          ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Velmora",
                                        "Quill")
          : std::make_unique<QSettings>(m_iniPath, QSettings::IniFormat);
  // The store is opened for reading and writing together, as one key would be.
  if (settings->status() == QSettings::AccessError || !settings->isWritable()) return nullptr;
  settings->beginGroup("1.0");
  return settings;
}

bool SettingsStore::ReadDword(const QVariant& stored, uint32_t& value) {
  switch (stored.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong: {
      const long long v = stored.toLongLong();
      if (!FitsDword(v)) return false;
      value = static_cast<uint32_t>(v);
      return true;
    }
    case QMetaType::ULongLong: {
      const unsigned long long v = stored.toULongLong();
      if (v > std::numeric_limits<uint32_t>::max()) return false;
      value = static_cast<uint32_t>(v);
      return true;
    }
    case QMetaType::QString: {
      bool ok = false;
      const long long v = stored.toString().trimmed().toLongLong(&ok, 10);
      if (!ok || !FitsDword(v)) return false;
      value = static_cast<uint32_t>(v);
      return true;
    }
    case QMetaType::QByteArray: {
      // Raw data of another type: exactly four bytes form the number, as a DWORD's data would.
      const QByteArray bytes = stored.toByteArray();
      if (bytes.size() != 4) return false;
      value = 0;
      for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
      return true;
    }
    default:
      return false;
  }
}

bool SettingsStore::ReadText(const QVariant& stored, std::string& text) {
  QByteArray bytes;
  switch (stored.typeId()) {
    case QMetaType::QString:
      bytes = stored.toString().toUtf8();
      break;
    case QMetaType::QByteArray:
      bytes = stored.toByteArray();
      // Raw data ends at its first zero byte, as a stored text with its terminator would.
      if (const auto zero = bytes.indexOf('\0'); zero >= 0) bytes.truncate(zero);
      break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
      bytes = stored.toString().toUtf8();
      break;
    default:
      return false;
  }
  if (static_cast<std::size_t>(bytes.size()) >= kMaxSettingText) return false;
  text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return true;
}

bool SettingsStore::Load(WizardState& state) const {
  // Defaults first, so the members are defined even when the store cannot be opened.
  state.ResetToDefaults();
  const std::unique_ptr<QSettings> settings = Open();
  if (settings) {
    for (const SettingValue& v : kSettingValues) {
      if (!settings->contains(v.name)) continue;
      const QVariant stored = settings->value(v.name);
      std::visit(Overload{
                     [&](int32_t WizardState::*m) {
                       uint32_t raw = 0;
                       if (ReadDword(stored, raw)) state.*m = static_cast<int32_t>(raw);
                     },
                     [&](uint32_t WizardState::*m) { ReadDword(stored, state.*m); },
                     [&](std::string WizardState::*m) { ReadText(stored, state.*m); },
                     [&](bool WizardState::*m) {
                       uint32_t raw = 0;
                       if (ReadDword(stored, raw)) state.*m = raw != 0;
                     },
                 },
                 v.member);
    }
  }
  state.DeriveCatalogueRefs();
  return settings != nullptr;
}

bool SettingsStore::Save(const WizardState& state) const {
  const std::unique_ptr<QSettings> settings = Open();
  if (!settings) return false;
  bool complete = true;
  for (const SettingValue& v : kSettingValues) {
    const bool written = std::visit(
        Overload{
            [&](int32_t WizardState::*m) {
              settings->setValue(v.name, static_cast<uint32_t>(state.*m));
              return true;
            },
            [&](uint32_t WizardState::*m) {
              settings->setValue(v.name, state.*m);
              return true;
            },
            [&](std::string WizardState::*m) {
              const std::string& text = state.*m;
              if (text.size() >= kMaxSettingText) return false;
              settings->setValue(v.name, QString::fromUtf8(text.data(),
                                                           static_cast<qsizetype>(text.size())));
              return true;
            },
            [&](bool WizardState::*m) {
              settings->setValue(v.name, state.*m ? 1u : 0u);
              return true;
            },
        },
        v.member);
    if (!written) {
      complete = false;
      break;
    }
  }
  settings->sync();
  return complete && settings->status() == QSettings::NoError;
}

}  // namespace quill
