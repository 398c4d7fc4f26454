// What the libFuzzer harnesses share: a check that reports a broken property as a crash, and
// the repair that turns arbitrary bytes into the well-formed UTF-8 every text reaching the core
// is (the Python boundary encodes strictly), so mutations are not wasted on rejected inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "internal/utf8.h"

// A property that does not hold is a finding: print it and abort, which libFuzzer reports
// with the input that caused it.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)

namespace quelvane::fuzz {

inline std::string_view as_text(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// `bytes` with every ill-formed sequence replaced by U+FFFD; well-formed input comes back as it is.
inline std::string repaired_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto malformed = internal::utf8::find_malformed(bytes);
    if (!malformed) {
      out.append(bytes);
      break;
    }
    out.append(bytes.substr(0, malformed->valid_up_to));
    out.append("\uFFFD");
    const size_t skip = malformed->invalid_length == 0 ? bytes.size() : malformed->valid_up_to + malformed->invalid_length;
    bytes.remove_prefix(skip);
  }
  return out;
}

// Input split into a few leading parameter bytes and the rest; missing bytes read as zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : rest_(data, size) {}

  uint8_t byte() {
    if (rest_.empty()) return 0;
    const uint8_t b = rest_.front();
    rest_ = rest_.subspan(1);
    return b;
  }

  // Up to `n` bytes (fewer when the input ends).
  std::span<const uint8_t> take(size_t n) {
    const auto taken = rest_.first(std::min(n, rest_.size()));
    rest_ = rest_.subspan(taken.size());
    return taken;
  }

  std::span<const uint8_t> rest() const { return rest_; }

 private:
  std::span<const uint8_t> rest_;
};

}  // namespace quelvane::fuzz
