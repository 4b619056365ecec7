#include "link/link_session.h"

#include "progfile/user_exception.h"

namespace quill {

Result CLinkSession::Guarded(const std::function<Result()>& body) {
  try {
    return body();
  } catch (const CUserException& e) {
    if (!e.IsAbort()) throw;
    // The detail of an abort is left as the start cleared it.
    return Result{ErrorUserAbort, 0};
  }
}

void CLinkSession::ThrowIfAbortRequested() {
  if (m_link.AbortRequested()) throw CUserException(CUserException::Abort, "operation aborted");
}

int CLinkSession::ReadByte(int attempts) {
  if (attempts <= 0) return -1;
  for (; attempts > 0; --attempts) {
    ThrowIfAbortRequested();
    uint8_t byte = 0;
    switch (m_link.ReadOne(byte, m_readTimeout)) {
      case ByteLink::ReadResult::Byte:
        return byte;
      case ByteLink::ReadResult::Failed:
        return -1;
      case ByteLink::ReadResult::Timeout:
        break;
    }
  }
  // An abort that came during the last attempt ends the operation as the user's abort rather
  // than as the timeout of the wait it cut short.
  ThrowIfAbortRequested();
  return -1;
}

}  // namespace quill
