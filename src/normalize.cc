#include "normalize.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "internal/fault.h"
#include "internal/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelvane::normalize {
namespace {

using internal::utf8::decode;

// U+0130 LATIN CAPITAL LETTER I WITH DOT ABOVE.
constexpr char32_t kCapitalIWithDot = 0x130;

// Texts are normalised in pieces of about this many bytes, cut where NFC cannot reach across
// the cut, so no normalised copy of a whole large text is ever held.
constexpr size_t kPieceBytes = 16 * 1024;

// The canonical stream is handed on in pieces of about this many bytes, small enough to stay
// in cache between being written and being read.
constexpr size_t kStreamPieceBytes = 64 * 1024;

// For each ASCII byte: its lower-case form if it is alphanumeric, else 0.
constexpr std::array<char, 128> make_ascii_canonical() {
  std::array<char, 128> table{};
  for (int c = 0; c < 128; ++c) {
    if (c >= 'a' && c <= 'z') table[c] = static_cast<char>(c);
    if (c >= 'A' && c <= 'Z') table[c] = static_cast<char>(c - 'A' + 'a');
    if (c >= '0' && c <= '9') table[c] = static_cast<char>(c);
  }
  return table;
}
constexpr auto kAsciiCanonical = make_ascii_canonical();

// Throws for an ICU status that is a failure: std::bad_alloc when ICU ran out of memory, else
// an internal fault naming the operation. A fingerprint is never computed on a text that was
// not normalised as it should have been.
void check(UErrorCode status, std::string_view operation) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw internal::Fault(std::string(operation) + " failed: " + u_errorName(status));
}

// ICU owns the shared instances: they are never deleted. Their data is built into ICU, so
// fetching them fails only when that data is missing; a failure is retried on the next call.
const icu::Normalizer2& nfc() {
  static const icu::Normalizer2* instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* out = icu::Normalizer2::getNFCInstance(status);
    check(status, "loading the NFC data");
    return out;
  }();
  return *instance;
}

const icu::Normalizer2& nfd() {
  static const icu::Normalizer2* instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* out = icu::Normalizer2::getNFDInstance(status);
    check(status, "loading the NFD data");
    return out;
  }();
  return *instance;
}

// Chinese and Japanese texts use thousands of distinct characters, too many for the per-text
// caches below; nearly all are in the Basic Multilingual Plane. For each character there,
// read from ICU once per process: whether NFC leaves it and its neighbours alone and it is its
// own lower case, and whether it is alphanumeric.
constexpr char32_t kBmpFirst = 0x80;
constexpr char32_t kBmpLast = 0xFFFF;
constexpr uint8_t kInertCaseless = 1;
constexpr uint8_t kAlphanumeric = 2;

const uint8_t* bmp_table() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> out(kBmpLast - kBmpFirst + 1);
    for (char32_t c = kBmpFirst; c <= kBmpLast; ++c) {
      char32_t mapped[3];
      const bool inert_caseless =
          nfc().isInert(static_cast<UChar32>(c)) && lower(c, mapped) == 1 && mapped[0] == c;
      out[c - kBmpFirst] = (inert_caseless ? kInertCaseless : 0) | (is_alphanumeric(c) ? kAlphanumeric : 0);
    }
    return out;
  }();
  return table.data();
}

// The flags above for a character of the plane from `table` (bmp_table()); 0 for any other.
uint8_t bmp_flags(const uint8_t* table, char32_t c) {
  if (c < kBmpFirst || c > kBmpLast) return 0;
  return table[c - kBmpFirst];
}

// ICU puts combining marks in canonical order by insertion, so a segment of n marks out of
// order costs n^2 steps, in normalising and in checking whether a piece is normalised: half a
// megabyte of alternating marks held a call for half a minute. A piece with a segment longer
// than this is put in canonical order here and then normalised without the check.
constexpr size_t kLongestSegment = 32;

// Whether some character of the piece has more than kLongestSegment characters before it
// since the last NFC boundary. Every character below U+0300 has a boundary before it; the
// others are looked up through a small cache, as a text repeats its characters.
bool has_long_segment(std::string_view piece) {
  constexpr char32_t kFirstWithoutBoundary = 0x300;
  constexpr size_t kCacheSlots = 256;
  std::array<char32_t, kCacheSlots> cached;
  cached.fill(0);  // U+0000 is never looked up
  std::array<bool, kCacheSlots> boundary{};
  size_t length = 0;
  for (size_t i = 0; i < piece.size();) {
    const auto s = decode(piece, i);
    i += s.length;
    if (s.value < kFirstWithoutBoundary) {
      length = 0;
      continue;
    }
    const size_t slot = s.value % kCacheSlots;
    if (cached[slot] != s.value) {
      cached[slot] = s.value;
      boundary[slot] = nfc().hasBoundaryBefore(static_cast<UChar32>(s.value));
    }
    length = boundary[slot] ? 0 : length + 1;
    if (length > kLongestSegment) return true;
  }
  return false;
}

// The NFD of the piece: each character's full decomposition, then each run of non-starters
// stable-sorted by combining class. NFC of it equals NFC of the piece, at linear cost.
std::string canonically_ordered(std::string_view piece) {
  constexpr int kClassShift = 24;  // scalars fit in 21 bits; the class goes above them
  std::vector<uint32_t> marked;    // combining class << kClassShift | scalar
  marked.reserve(piece.size());
  icu::UnicodeString decomposition;
  auto add = [&](UChar32 c) { marked.push_back(uint32_t{u_getCombiningClass(c)} << kClassShift | uint32_t(c)); };
  for (size_t i = 0; i < piece.size();) {
    const auto s = decode(piece, i);
    i += s.length;
    if (!nfd().getDecomposition(static_cast<UChar32>(s.value), decomposition)) {
      add(static_cast<UChar32>(s.value));
      continue;
    }
    for (int32_t k = 0; k < decomposition.length(); k = decomposition.moveIndex32(k, 1)) add(decomposition.char32At(k));
  }
  auto is_starter = [](uint32_t m) { return (m >> kClassShift) == 0; };
  for (auto run = marked.begin(); run != marked.end();) {
    run = std::find_if_not(run, marked.end(), is_starter);
    const auto end = std::find_if(run, marked.end(), is_starter);
    std::stable_sort(run, end, [](uint32_t a, uint32_t b) { return (a >> kClassShift) < (b >> kClassShift); });
    run = end;
  }
  std::string out;
  out.reserve(piece.size());
  for (uint32_t m : marked) internal::utf8::append(out, m & ((1u << kClassShift) - 1));
  return out;
}

// Length of the ASCII run the text starts with.
size_t ascii_prefix(std::string_view text) {
  if (text.empty() || (static_cast<uint8_t>(text[0]) & 0x80)) return 0;  // the common case in other scripts
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < text.size() && !(static_cast<uint8_t>(text[i]) & 0x80)) ++i;
  return i;
}

// Whether the piece holds only ASCII and characters with kInertCaseless: such a piece is NFC
// already, and nothing in it needs ICU.
bool is_plain(std::string_view piece) {
  const uint8_t* table = bmp_table();
  for (size_t i = ascii_prefix(piece); i < piece.size(); i += ascii_prefix(piece.substr(i))) {
    const auto s = decode(piece, i);
    if (!(bmp_flags(table, s.value) & kInertCaseless)) return false;
    i += s.length;
  }
  return true;
}

// End of the piece that starts at `begin`: about kPieceBytes on, moved forward to a character
// that has an NFC boundary before it (so the pieces normalise independently).
size_t piece_end(std::string_view text, size_t begin) {
  if (text.size() - begin <= kPieceBytes) return text.size();
  size_t end = begin + kPieceBytes;
  while (end < text.size() && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) ++end;
  while (end < text.size()) {
    const auto s = decode(text, end);
    if (nfc().hasBoundaryBefore(static_cast<UChar32>(s.value))) break;
    end += s.length;
  }
  return end;
}

bool is_nfc(std::string_view piece) {
  UErrorCode status = U_ZERO_ERROR;
  const bool normalized =
      nfc().isNormalizedUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), status);
  check(status, "NFC check");
  return normalized;
}

// Calls on_ascii(run) for runs of plain ASCII (already NFC, and most of most texts) and
// on_scalar(c) for every other scalar of the text's NFC form, in order.
template <typename OnAscii, typename OnScalar>
void for_each_nfc(std::string_view text, OnAscii&& on_ascii, OnScalar&& on_scalar) {
  std::string normalized;
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = piece_end(text, begin);
    std::string_view piece = text.substr(begin, end - begin);
    begin = end;
    if (!is_plain(piece)) {
      // Checking whether a piece is normalised runs the reordering too, so a long segment
      // skips the check.
      const bool long_segment = has_long_segment(piece);
      const std::string ordered = long_segment ? canonically_ordered(piece) : std::string();
      const std::string_view input = long_segment ? std::string_view(ordered) : piece;
      if (long_segment || !is_nfc(piece)) {
        normalized.clear();
        icu::StringByteSink<std::string> sink(&normalized);
        UErrorCode status = U_ZERO_ERROR;
        nfc().normalizeUTF8(0, icu::StringPiece(input.data(), static_cast<int32_t>(input.size())), sink, nullptr,
                            status);
        check(status, "NFC normalisation");
        piece = normalized;
      }
    }
    // Even text in another script carries ASCII spaces, digits and punctuation, and prose in a
    // Latin script is mostly ASCII with an accent or a typographic quote in every piece.
    for (size_t i = 0; i < piece.size();) {
      if (const size_t run = ascii_prefix(piece.substr(i)); run > 0) {
        on_ascii(piece.substr(i, run));
        i += run;
        continue;
      }
      const auto s = decode(piece, i);
      on_scalar(s.value);
      i += s.length;
    }
  }
}

// Appends alphanumeric characters to the canonical stream. A separator run is written as one
// space as soon as it starts after an alphanumeric character; finish() drops the space a text
// may end with, so that spaces stand only between two runs.
class CanonicalWriter {
 public:
  explicit CanonicalWriter(std::string& out) : out_(out) {}

  // An ASCII run never grows the text, so the output is sized once and written through a
  // pointer.
  void ascii(std::string_view run) {
    const size_t at = out_.size();
    out_.resize(at + run.size());
    char* p = out_.data() + at;
    const char* in = run.data();
    const char* const end = in + run.size();
#if defined(__SSE2__)
    for (; end - in >= kBlock; in += kBlock) {
      if (!ascii_block(in, p)) ascii_bytes(in, in + kBlock, p);
    }
#endif
    ascii_bytes(in, end, p);
    out_.resize(static_cast<size_t>(p - out_.data()));
  }

  // A character outside ASCII.
  void scalar(char32_t c) {
    if (is_zero_width(c)) return;  // neither separates nor joins
    // Scripts from U+3000 on use too many distinct characters for the cache; the others hit it.
    if (const uint8_t flags = c >= kManyDistinctFirst ? bmp_flags(bmp_, c) : 0; flags & kInertCaseless) {
      emit(c, flags & kAlphanumeric);
      return;
    }
    if (c == kCapitalIWithDot) {    // the one character whose mapping is two characters long
      char32_t mapped[3];
      const int n = lower(c, mapped);
      for (int i = 0; i < n; ++i) emit(mapped[i], is_alphanumeric(mapped[i]));
      return;
    }
    // Texts use few distinct characters, so the Unicode lookups are remembered for this text.
    Mapped& entry = seen_[c % kSeenSlots];
    if (entry.from != c) {
      char32_t mapped[3];
      lower(c, mapped);
      entry = {c, mapped[0], is_alphanumeric(mapped[0])};
    }
    emit(entry.to, entry.keep);
  }

  void finish() {
    if (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }

 private:
  static constexpr size_t kSeenSlots = 512;
  static constexpr char32_t kManyDistinctFirst = 0x3000;

  struct Mapped {
    char32_t from = 0;  // no non-ASCII character maps from here, so 0 marks an empty slot
    char32_t to = 0;
    bool keep = false;
  };

  // The plain loop, branch-free: each byte writes its lower-case form or a space and advances
  // only when that byte is kept or ends a run.
  void ascii_bytes(const char* in, const char* end, char*& p) {
    bool after_run = after_run_;
    for (; in != end; ++in) {
      const char l = kAsciiCanonical[static_cast<uint8_t>(*in)];
      const bool keep = l != 0;
      *p = keep ? l : ' ';
      p += keep | after_run;
      after_run = keep;
    }
    after_run_ = after_run;
  }

#if defined(__SSE2__)
  static constexpr std::ptrdiff_t kBlock = 16;

  // Sixteen bytes at once when none of them is dropped, which is most blocks of prose: every
  // separator follows a kept byte, so each byte becomes its lower-case form or one space.
  // Returns false, having written nothing, for a block with a separator run in it.
  bool ascii_block(const char* in, char*& p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    // Setting bit 5 lower-cases a letter and leaves a digit as it is; it brings no other
    // ASCII byte into a..z.
    const __m128i lowered = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const __m128i letter =
        _mm_and_si128(_mm_cmpgt_epi8(lowered, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(lowered, _mm_set1_epi8('z' + 1)));
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
    const __m128i keep = _mm_or_si128(letter, digit);
    const auto kept = static_cast<uint32_t>(_mm_movemask_epi8(keep));
    const uint32_t follows_kept = (kept << 1) | uint32_t{after_run_};
    if (((kept | follows_kept) & 0xFFFF) != 0xFFFF) return false;
    const __m128i out = _mm_or_si128(_mm_and_si128(keep, lowered), _mm_andnot_si128(keep, _mm_set1_epi8(' ')));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), out);
    p += kBlock;
    after_run_ = (kept >> (kBlock - 1)) & 1;
    return true;
  }
#endif

  void emit(char32_t lowered, bool keep) {
    if (keep) {
      internal::utf8::append(out_, lowered);
    } else if (after_run_) {
      out_ += ' ';
    }
    after_run_ = keep;
  }

  std::string& out_;
  const uint8_t* bmp_ = bmp_table();
  bool after_run_ = false;  // the last character seen was kept, so a separator would start here
  std::array<Mapped, kSeenSlots> seen_{};
};

}  // namespace

bool has_nfc_boundary_before(char32_t c) { return nfc().hasBoundaryBefore(static_cast<UChar32>(c)); }

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return kAsciiCanonical[c] != 0;
  if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC)) return true;
  const int8_t type = u_charType(static_cast<UChar32>(c));
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

int lower(char32_t c, char32_t out[3]) {
  // U+0130 is the one character whose unconditional full lower-case mapping is longer than
  // its simple mapping; every other full mapping is conditional (final sigma, Lithuanian,
  // Turkic) and does not apply to a character taken alone.
  if (c == kCapitalIWithDot) {
    out[0] = 0x69;
    out[1] = 0x307;
    return 2;
  }
  out[0] = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
  return 1;
}

std::string canonical(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  CanonicalWriter writer(out);
  for_each_nfc(
      text, [&](std::string_view piece) { writer.ascii(piece); }, [&](char32_t c) { writer.scalar(c); });
  writer.finish();
  return out;
}

void for_each_canonical_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece) {
  std::string buffer;
  buffer.reserve(kStreamPieceBytes + kPieceBytes);
  CanonicalWriter writer(buffer);
  // A space the buffer ends with is held back: it stays only if another run follows.
  auto hand_on = [&] {
    const bool pending_space = !buffer.empty() && buffer.back() == ' ';
    if (buffer.size() > size_t{pending_space}) on_piece(std::string_view(buffer).substr(0, buffer.size() - pending_space));
    buffer.assign(pending_space, ' ');
  };
  auto hand_on_when_full = [&] {
    if (buffer.size() >= kStreamPieceBytes) hand_on();
  };
  for_each_nfc(
      text,
      [&](std::string_view piece) {
        writer.ascii(piece);
        hand_on_when_full();
      },
      [&](char32_t c) {
        writer.scalar(c);
        hand_on_when_full();
      });
  writer.finish();
  hand_on();
}

std::string structural(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_structural_piece(text, [&](std::string_view piece) { out.append(piece); });
  return out;
}

void for_each_structural_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece) {
  std::string normalized;  // the characters of the piece being gathered
  auto flush = [&] {
    if (normalized.empty()) return;
    on_piece(normalized);
    normalized.clear();
  };
  for_each_nfc(
      text,
      [&](std::string_view run) {
        normalized.append(run);
        if (normalized.size() >= kPieceBytes) flush();
      },
      [&](char32_t c) {
        if (is_zero_width(c)) return;
        internal::utf8::append(normalized, c);
        if (normalized.size() >= kPieceBytes) flush();
      });
  flush();
}

}  // namespace quelvane::normalize
