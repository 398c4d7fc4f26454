// The text streams on arbitrary well-formed UTF-8. The normaliser works in pieces of 16 KiB,
// with fast paths for ASCII and for pieces that are NFC as they stand; here its streams are
// compared with the same rules applied to ICU's NFC of the whole text at once. When the first byte is a multiple of 16, the text is also
// checked behind a long ASCII run, with the first piece boundary that many bytes into it (not
// always: 16 KiB of instrumented work per input slows the search down tenfold).
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "internal/crypto.h"
#include "normalize.h"
#include "reference.h"
#include "stego.h"

namespace quelvane::fuzz {
namespace {

namespace utf8 = internal::utf8;

constexpr size_t kPieceBytes = 16 * 1024;

std::string without_zero_width(std::string_view text) {
  std::string out;
  reference::for_each_scalar(text, [&](char32_t c) {
    if (!normalize::is_zero_width(c)) utf8::append(out, c);
  });
  return out;
}

struct Streams {
  std::string canonical;
  std::string structural;
};

Streams check_streams(std::string_view text) {
  Streams streams{normalize::canonical(text), normalize::structural(text)};
  FUZZ_CHECK(streams.canonical == reference::canonical(text));
  FUZZ_CHECK(streams.structural == without_zero_width(reference::nfc(text)));
  // The content hash reads the canonical stream in pieces, never whole.
  FUZZ_CHECK(stego::content_hash(text) == internal::crypto::sha256(internal::crypto::as_bytes(streams.canonical)));
  FUZZ_CHECK(stego::strip_zero_width(text) == without_zero_width(text));

  std::string joined;
  for (const std::string& word : reference::words(streams.canonical)) {
    FUZZ_CHECK(!word.empty() && word.find(' ') == std::string::npos);
    joined += (joined.empty() ? "" : " ") + word;
  }
  FUZZ_CHECK(joined == streams.canonical);
  return streams;
}

// The text behind `lead` bytes of ASCII, so the first piece ends inside it. Behind spaces the
// streams are the text's own (spaces compose with nothing); behind letters only the last one
// can compose with the text, so the rest of the run comes through unchanged.
void check_behind_ascii(std::string_view text, size_t lead, const Streams& alone) {
  const std::string spaces(lead, ' ');
  FUZZ_CHECK(normalize::canonical(spaces + std::string(text)) == alone.canonical);
  FUZZ_CHECK(normalize::structural(spaces + std::string(text)) == spaces + alone.structural);

  const std::string letters(lead - 1, 'a');
  const Streams joined = check_streams("a" + std::string(text));
  FUZZ_CHECK(normalize::canonical(letters + "a" + std::string(text)) == letters + joined.canonical);
  FUZZ_CHECK(normalize::structural(letters + "a" + std::string(text)) == letters + joined.structural);
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelvane::fuzz;
  Input input(data, size);
  const size_t cut = input.byte();
  const std::string text = repaired_utf8(as_text(input.rest()));
  const Streams alone = check_streams(text);
  if (cut % 16 == 0) check_behind_ascii(text, kPieceBytes - cut, alone);
  return 0;
}
