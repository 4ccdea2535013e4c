// QUORVANE_SANITIZED: the test runs under AddressSanitizer or ThreadSanitizer, whose shadow
// memory needs an address space no limit (ulimit -v) leaves, and descriptors of their own.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORVANE_SANITIZED 1
#endif
#endif
