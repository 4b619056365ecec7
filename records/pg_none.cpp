// A build without libpq (the Windows build, or QUILL_POSTGRESQL off): a PostgreSQL store is
// refused before it is used, so this is never reached.
#include "records/record_store.h"

namespace quill::records {

bool HasPostgreSql() { return false; }

std::unique_ptr<RecordStore> MakePostgreSqlStore(const std::string&) { return nullptr; }

}  // namespace quill::records
