// The contract's edge: no exception leaves an exported entry point or an
// interface slot. A body that throws (memory ran out while building a
// string) answers `onFailure` instead, E_OUTOFMEMORY or the operation's own
// failure value. The Windows module is built without exceptions (its
// exception runtime costs two handles on every load), so there nothing can
// throw and the body runs as it is.
#pragma once

namespace quorvalend {

template <typename Result, typename Body>
Result ContainedCall(Result onFailure, Body&& body) noexcept {
#if defined(__cpp_exceptions)
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
#else
  (void)onFailure;
  return body();
#endif
}

}  // namespace quorvalend
