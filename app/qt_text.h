// The string table's texts as Qt strings, for the sheet and the pages.
#pragma once

#include <QString>
#include <cstdint>

#include "resources/strings.h"

namespace quill {

inline QString Text(uint32_t id) { return QString::fromStdString(LoadString(id)); }

}  // namespace quill
