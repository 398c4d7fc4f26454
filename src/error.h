// The one error type of the system. Every fallible operation returns a value or an
// Error; the Python boundary raises an Error as ValueError carrying message().
#pragma once

#include <string>

namespace quelvane::error {

enum class Kind {
  ContentTooShort,
  GenerationFailed,
  Coding,
  TagMismatch,
  WatermarkUnrecoverable,
  InvalidInput,
};

class Error {
 public:
  static Error content_too_short() { return Error(Kind::ContentTooShort, {}); }
  static Error generation_failed(std::string detail) { return Error(Kind::GenerationFailed, std::move(detail)); }
  static Error coding(std::string detail) { return Error(Kind::Coding, std::move(detail)); }
  static Error tag_mismatch() { return Error(Kind::TagMismatch, {}); }
  static Error watermark_unrecoverable() { return Error(Kind::WatermarkUnrecoverable, {}); }
  static Error invalid_input(std::string detail) { return Error(Kind::InvalidInput, std::move(detail)); }

  Kind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }

  // The display form a Python caller reads, e.g. "invalid input: COSE envelope has no payload".
  std::string message() const;
  // The debug form, used only inside internal-fault messages: `TagMismatch`, `Coding("TooFewShardsPresent")`.
  std::string debug() const;

 private:
  Error(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
};

}  // namespace quelvane::error

namespace quelvane {
using error::Error;
}
