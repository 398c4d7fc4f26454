// Plain recomputations that the C++ tests and the fuzz harnesses hold the core's fast paths
// to: the canonical stream from ICU's NFC of the whole text, character by character; the words
// and 5-word shingles of a canonical stream; and the SimHash of character 4-grams counted in a
// map, each distinct gram voting once with its count (test_simhash.cc checks this one against a
// vote of its own, bit by bit).
#pragma once

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "internal/utf8.h"
#include "minhash.h"
#include "normalize.h"
#include "simhash.h"

namespace quelvane::reference {

// ICU's NFC of the whole text at once.
inline std::string nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) throw std::runtime_error("no NFC data");
  const icu::UnicodeString normalized = normalizer->normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))), status);
  if (U_FAILURE(status)) throw std::runtime_error("NFC failed");
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

template <typename OnScalar>
void for_each_scalar(std::string_view text, OnScalar on_scalar) {
  for (size_t i = 0; i < text.size();) {
    const auto s = internal::utf8::decode(text, i);
    on_scalar(s.value);
    i += s.length;
  }
}

// The canonical stream by its rules, one character of the NFC text at a time, with no cache,
// table or fast path.
inline std::string canonical(std::string_view text) {
  std::string out;
  bool pending = false;
  for_each_scalar(nfc(text), [&](char32_t c) {
    if (normalize::is_zero_width(c)) return;
    char32_t mapped[3];
    const int n = normalize::lower(c, mapped);
    for (int i = 0; i < n; ++i) {
      if (!normalize::is_alphanumeric(mapped[i])) {
        pending = true;
        continue;
      }
      if (pending && !out.empty()) out += ' ';
      internal::utf8::append(out, mapped[i]);
      pending = false;
    }
  });
  return out;
}

// The non-empty pieces of `stream` between U+0020 spaces, in order.
inline std::vector<std::string> words(std::string_view stream) {
  std::vector<std::string> out;
  size_t begin = 0;
  while (begin <= stream.size()) {
    size_t end = stream.find(' ', begin);
    if (end == std::string_view::npos) end = stream.size();
    if (end > begin) out.emplace_back(stream.substr(begin, end - begin));
    begin = end + 1;
  }
  return out;
}

// Runs of five consecutive words joined by single spaces (all the words when there are one to
// four, none when there are none).
inline std::vector<std::string> shingles(std::span<const std::string> words) {
  std::vector<std::string> out;
  if (words.empty()) return out;
  const size_t count = words.size() < minhash::kShingleWords ? 1 : words.size() - minhash::kShingleWords + 1;
  const size_t width = std::min(words.size(), minhash::kShingleWords);
  for (size_t k = 0; k < count; ++k) {
    std::string& shingle = out.emplace_back(words[k]);
    for (size_t w = k + 1; w < k + width; ++w) shingle.append(" ").append(words[w]);
  }
  return out;
}

// SimHash of the character 4-grams of `chars` (one gram of all of them when there are 1 to
// 3), each distinct gram voting with its number of occurrences. All zero for no characters.
inline simhash::Hash256 simhash_4grams(std::span<const char32_t> chars) {
  if (chars.empty()) return {};
  const size_t k = std::min<size_t>(chars.size(), 4);
  std::map<std::u32string, int64_t> counts;
  for (size_t p = 0; p + k <= chars.size(); ++p) ++counts[std::u32string(chars.begin() + p, chars.begin() + p + k)];
  simhash::Vote vote;
  for (const auto& [gram, count] : counts) {
    std::string utf8;
    for (char32_t c : gram) internal::utf8::append(utf8, c);
    vote.add(utf8, count);
  }
  return vote.result();
}

}  // namespace quelvane::reference
