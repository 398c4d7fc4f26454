// Reading a soft-binding record from arbitrary bytes. Reading either fails with the documented
// prefix or gives a record whose own encoding reads back as the same record and re-encodes to
// the same bytes (the writer's form is a fixed point).
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "soft_binding.h"

namespace quelvane::fuzz {
namespace {

constexpr std::string_view kDecodeFailed = "soft-binding CBOR decode: ";

void check(std::span<const uint8_t> bytes) {
  const auto record = soft_binding::SoftBinding::from_cbor(bytes);
  if (!record) {
    const Error& error = record.error();
    FUZZ_CHECK(error.kind() == error::Kind::InvalidInput);
    FUZZ_CHECK(error.detail().starts_with(kDecodeFailed) && error.detail().size() > kDecodeFailed.size());
    return;
  }
  const auto encoded = record->to_cbor();
  FUZZ_CHECK(encoded.ok());
  const auto again = soft_binding::SoftBinding::from_cbor(*encoded);
  FUZZ_CHECK(again.ok() && *again == *record);
  const auto reencoded = again->to_cbor();
  FUZZ_CHECK(reencoded.ok() && *reencoded == *encoded);
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quelvane::fuzz::check({data, size});
  return 0;
}
