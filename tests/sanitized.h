// Whether this test program is built with a sanitizer: their allocators keep freed memory in
// quarantine, so a resident-memory bound says nothing there (descriptors and threads still do).
#pragma once

namespace quill::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace quill::test
