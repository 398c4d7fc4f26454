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

// What the canonical and structural streams need to know of a character of the Basic
// Multilingual Plane, read from ICU once per process: Chinese and Japanese texts use thousands
// of distinct characters, too many for a per-text cache.
//   kStarter: NFC quick check Yes and combining class 0. A string of such characters is NFC
//     already, in any order: nothing in it composes with what comes before.
//   kKeptAsIs: its own lower case and alphanumeric, so the canonical stream copies it.
//   kSeparator: its own lower case and not alphanumeric, so it only separates words.
// A character with neither of the last two (lower-cased, or zero-width) takes the general path.
// ASCII has its own paths, and the surrogate code points, which no text holds, are 0.
constexpr char32_t kBmpLast = 0xFFFF;
constexpr uint8_t kStarter = 1;
constexpr uint8_t kKeptAsIs = 2;
constexpr uint8_t kSeparator = 4;

bool is_starter_with_quick_check_yes(char32_t c) {
  return u_getCombiningClass(static_cast<UChar32>(c)) == 0 &&
         u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NFC_QUICK_CHECK) == UNORM_YES;
}

const uint8_t* bmp_table() {
  static const std::vector<uint8_t> table = [] {
    constexpr char32_t kFirstSurrogate = 0xD800;
    constexpr char32_t kLastSurrogate = 0xDFFF;
    std::vector<uint8_t> out(kBmpLast + 1);
    for (char32_t c = 0x80; c <= kBmpLast; ++c) {
      if (c >= kFirstSurrogate && c <= kLastSurrogate) continue;
      char32_t mapped[3];
      const bool own_lower = lower(c, mapped) == 1 && mapped[0] == c && !is_zero_width(c);
      out[c] = static_cast<uint8_t>((is_starter_with_quick_check_yes(c) ? kStarter : 0) |
                                    (own_lower ? (is_alphanumeric(c) ? kKeptAsIs : kSeparator) : 0));
    }
    return out;
  }();
  return table.data();
}

// Whether the character is a starter with NFC quick check Yes, from `table` (bmp_table()) in
// the plane and from ICU beyond it.
bool is_starter(const uint8_t* table, char32_t c) {
  return c <= kBmpLast ? (table[c] & kStarter) != 0 : is_starter_with_quick_check_yes(c);
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

// Whether the piece holds only ASCII and starters with NFC quick check Yes: such a piece is NFC
// already, and nothing in it needs ICU.
bool has_only_starters(std::string_view piece) {
  const uint8_t* table = bmp_table();
  for (size_t i = ascii_prefix(piece); i < piece.size(); i += ascii_prefix(piece.substr(i))) {
    const auto s = decode(piece, i);
    if (!is_starter(table, s.value)) return false;
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

// Calls on_piece(piece) for consecutive pieces of the text that normalise independently.
template <typename OnPiece>
void for_each_piece(std::string_view text, OnPiece&& on_piece) {
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = piece_end(text, begin);
    on_piece(text.substr(begin, end - begin));
    begin = end;
  }
}

bool is_nfc(std::string_view piece) {
  UErrorCode status = U_ZERO_ERROR;
  const bool normalized =
      nfc().isNormalizedUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), status);
  check(status, "NFC check");
  return normalized;
}

// The NFC form of a piece: the piece itself when it is NFC already, else `buffer` filled with it.
std::string_view nfc_of(std::string_view piece, std::string& buffer) {
  // Checking whether a piece is normalised runs the reordering too, so a long segment skips
  // the check.
  const bool long_segment = has_long_segment(piece);
  if (!long_segment && is_nfc(piece)) return piece;
  const std::string ordered = long_segment ? canonically_ordered(piece) : std::string();
  const std::string_view input = long_segment ? std::string_view(ordered) : piece;
  buffer.clear();
  icu::StringByteSink<std::string> sink(&buffer);
  UErrorCode status = U_ZERO_ERROR;
  nfc().normalizeUTF8(0, icu::StringPiece(input.data(), static_cast<int32_t>(input.size())), sink, nullptr, status);
  check(status, "NFC normalisation");
  return buffer;
}

// The most bytes the canonical form of a piece of NFC text can take: a character becomes at
// most one space or its lower case, which is never more than half as long again (U+023A, two
// bytes, lower-cases to U+2C65, three), plus the slack of one block written at once.
constexpr size_t canonical_room(size_t piece_bytes) { return piece_bytes + piece_bytes / 2 + 16; }

// Writes the canonical stream into `out`, one piece of the text at a time. A separator run is
// written as one space as soon as it starts after an alphanumeric character; finish() drops
// the space a text may end with, so that spaces stand only between two runs.
class CanonicalWriter {
 public:
  explicit CanonicalWriter(std::string& out) : out_(out) {}

  // Writes the canonical form of a piece of ASCII and starters with NFC quick check Yes, which
  // is NFC as it stands (nearly every piece of prose, in any script), and returns true. Returns
  // false, having written nothing, at the first character of any other piece.
  bool write_if_starters(std::string_view piece) { return write<true>(piece); }

  // Writes the canonical form of a piece that is NFC.
  void write_nfc(std::string_view piece) { write<false>(piece); }

  void finish() {
    if (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }

 private:
  static constexpr size_t kSeenSlots = 512;

  struct Mapped {
    char32_t from = 0;  // no non-ASCII character maps from here, so 0 marks an empty slot
    char32_t to = 0;
    bool keep = false;
  };

  // The piece is written through a pointer into room made for it up front.
  template <bool kStartersOnly>
  bool write(std::string_view piece) {
    const size_t start = out_.size();
    const bool after_run_at_start = after_run_;
    out_.resize(start + canonical_room(piece.size()));
    char* p = out_.data() + start;
    const char* in = piece.data();
    const char* const end = in + piece.size();
    while (in != end) {
      if (const size_t ascii = ascii_prefix(std::string_view(in, static_cast<size_t>(end - in))); ascii > 0) {
        write_ascii(in, in + ascii, p);
        in += ascii;
        continue;
      }
      if (const char* kept = end_of_kept_run(in, end, kStartersOnly ? kStarter | kKeptAsIs : kKeptAsIs); kept != in) {
        std::memcpy(p, in, static_cast<size_t>(kept - in));
        p += kept - in;
        in = kept;
        after_run_ = true;
        continue;
      }
      const auto s = decode(std::string_view(in, static_cast<size_t>(end - in)), 0);
      if (kStartersOnly && !is_starter(bmp_, s.value)) {
        out_.resize(start);
        after_run_ = after_run_at_start;
        return false;
      }
      in += s.length;
      write_scalar(s.value, p);
    }
    out_.resize(static_cast<size_t>(p - out_.data()));
    return true;
  }

  // Where the run of characters with all the `flags` (kKeptAsIs and maybe kStarter) that starts
  // at `in` ends. The words of most scripts are such runs, and whole phrases of Chinese: they are
  // copied as they stand. Two- and three-byte forms are read here; anything else, even an
  // ill-formed sequence, ends the run.
  const char* end_of_kept_run(const char* in, const char* end, uint8_t flags) const {
    const auto* p = reinterpret_cast<const uint8_t*>(in);
    const auto* const stop = reinterpret_cast<const uint8_t*>(end);
    auto continues = [](uint8_t byte) { return (byte & 0xC0) == 0x80; };
    while (stop - p >= 2) {
      char32_t c;
      size_t length;
      if (p[0] >= 0xC2 && p[0] < 0xE0 && continues(p[1])) {
        c = char32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        length = 2;
      } else if (p[0] >= 0xE0 && p[0] < 0xF0 && stop - p >= 3 && continues(p[1]) && continues(p[2])) {
        c = char32_t(p[0] & 0x0F) << 12 | char32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        if (c < 0x800) break;  // overlong; the surrogates have no flags
        length = 3;
      } else {
        break;
      }
      if ((bmp_[c] & flags) != flags) break;
      p += length;
    }
    return reinterpret_cast<const char*>(p);
  }

  // ASCII is already lower case or a separator byte by byte.
  void write_ascii(const char* in, const char* end, char*& p) {
#if defined(__SSE2__)
    for (; end - in >= kBlock; in += kBlock) {
      if (!ascii_block(in, p)) ascii_bytes(in, in + kBlock, p);
    }
#endif
    ascii_bytes(in, end, p);
  }

  // A character outside ASCII that is not copied as it stands.
  void write_scalar(char32_t c, char*& p) {
    const uint8_t flags = c <= kBmpLast ? bmp_[c] : 0;
    if (flags & (kKeptAsIs | kSeparator)) {
      emit(c, flags & kKeptAsIs, p);
      return;
    }
    if (is_zero_width(c)) return;  // neither separates nor joins
    if (c == kCapitalIWithDot) {    // the one character whose mapping is two characters long
      char32_t mapped[3];
      const int n = lower(c, mapped);
      for (int i = 0; i < n; ++i) emit(mapped[i], is_alphanumeric(mapped[i]), p);
      return;
    }
    // Texts lower-case few distinct characters, so the Unicode lookups are remembered for this text.
    Mapped& entry = seen_[c % kSeenSlots];
    if (entry.from != c) {
      char32_t mapped[3];
      lower(c, mapped);
      entry = {c, mapped[0], is_alphanumeric(mapped[0])};
    }
    emit(entry.to, entry.keep, p);
  }

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

  void emit(char32_t lowered, bool keep, char*& p) {
    if (keep) {
      p += internal::utf8::encode(lowered, p);
    } else if (after_run_) {
      *p++ = ' ';
    }
    after_run_ = keep;
  }

  std::string& out_;
  const uint8_t* bmp_ = bmp_table();
  bool after_run_ = false;  // the last character seen was kept, so a separator would start here
  std::array<Mapped, kSeenSlots> seen_{};
};

// Writes the canonical stream of the text, calling after_piece() after each piece of it.
template <typename AfterPiece>
void write_canonical(std::string_view text, CanonicalWriter& writer, AfterPiece&& after_piece) {
  std::string normalized;
  for_each_piece(text, [&](std::string_view piece) {
    if (!writer.write_if_starters(piece)) writer.write_nfc(nfc_of(piece, normalized));
    after_piece();
  });
  writer.finish();
}

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
  out.reserve(text.size() + canonical_room(kPieceBytes));  // room for the last piece
  CanonicalWriter writer(out);
  write_canonical(text, writer, [] {});
  return out;
}

void for_each_canonical_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece) {
  std::string buffer;
  buffer.reserve(kStreamPieceBytes + canonical_room(kPieceBytes));
  CanonicalWriter writer(buffer);
  // A space the buffer ends with is held back: it stays only if another run follows.
  auto hand_on = [&] {
    const bool pending_space = !buffer.empty() && buffer.back() == ' ';
    if (buffer.size() > size_t{pending_space}) on_piece(std::string_view(buffer).substr(0, buffer.size() - pending_space));
    buffer.assign(pending_space, ' ');
  };
  write_canonical(text, writer, [&] {
    if (buffer.size() >= kStreamPieceBytes) hand_on();
  });
  hand_on();
}

std::string structural(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_structural_piece(text, [&](std::string_view piece) { out.append(piece); });
  return out;
}

void for_each_structural_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece) {
  std::string normalized;
  std::string kept;  // a piece without its zero-width characters
  for_each_piece(text, [&](std::string_view piece) {
    const std::string_view nfc = has_only_starters(piece) ? piece : nfc_of(piece, normalized);
    size_t copied = 0;
    kept.clear();
    for (size_t i = ascii_prefix(nfc); i < nfc.size(); i += ascii_prefix(nfc.substr(i))) {
      const auto s = decode(nfc, i);
      if (is_zero_width(s.value)) {
        kept.append(nfc.substr(copied, i - copied));
        copied = i + s.length;
      }
      i += s.length;
    }
    if (copied == 0) {
      if (!nfc.empty()) on_piece(nfc);
      return;
    }
    kept.append(nfc.substr(copied));
    if (!kept.empty()) on_piece(kept);
  });
}

}  // namespace quelvane::normalize
