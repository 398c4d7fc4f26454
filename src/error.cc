#include "error.h"

#include "internal/quote.h"

namespace quelvane::error {
namespace {

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::ContentTooShort: return "ContentTooShort";
    case Kind::GenerationFailed: return "GenerationFailed";
    case Kind::Coding: return "Coding";
    case Kind::TagMismatch: return "TagMismatch";
    case Kind::WatermarkUnrecoverable: return "WatermarkUnrecoverable";
    case Kind::InvalidInput: return "InvalidInput";
  }
  return "";
}

bool has_detail(Kind kind) {
  return kind == Kind::GenerationFailed || kind == Kind::Coding || kind == Kind::InvalidInput;
}

}  // namespace

std::string Error::message() const {
  switch (kind_) {
    case Kind::ContentTooShort: return "text content too short for this soft-binding algorithm";
    case Kind::GenerationFailed: return "fingerprint generation failed: " + detail_;
    case Kind::Coding: return "reed-solomon coding failed: " + detail_;
    case Kind::TagMismatch:
      return "watermark content-binding tag did not verify (transferred or modified content)";
    case Kind::WatermarkUnrecoverable: return "watermark could not be recovered from remaining positions";
    case Kind::InvalidInput: return "invalid input: " + detail_;
  }
  return {};
}

std::string Error::debug() const {
  std::string out = kind_name(kind_);
  if (has_detail(kind_)) {
    out += '(';
    out += internal::debug_quoted(detail_);
    out += ')';
  }
  return out;
}

}  // namespace quelvane::error
