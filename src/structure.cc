#include "structure.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "internal/dense_ids.h"
#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::structure {
namespace {

using internal::utf8::decode;
using internal::utf8::is_white_space;
using internal::utf8::trim_white_space;

constexpr std::array<std::string_view, 124> kFunctionWords = {
    "the",     "a",       "an",     "and",     "or",      "but",     "nor",    "so",      "yet",   "for",   "of",
    "to",      "in",      "on",     "at",      "by",      "as",      "is",     "are",     "was",   "were",  "be",
    "been",    "being",   "am",     "do",      "does",    "did",     "have",   "has",     "had",   "will",  "would",
    "shall",   "should",  "can",    "could",   "may",     "might",   "must",   "with",    "from",  "into",  "onto",
    "upon",    "over",    "under",  "above",   "below",   "between", "through", "during", "before", "after", "about",
    "against", "among",   "around", "because", "if",      "then",    "than",   "that",    "this",  "these", "those",
    "it",      "its",     "he",     "she",     "they",    "them",    "his",    "her",     "their", "our",   "your",
    "my",      "we",      "you",    "i",       "me",      "us",      "who",    "whom",    "whose", "which", "what",
    "when",    "where",   "why",    "how",     "not",     "no",      "yes",    "all",     "any",   "some",  "each",
    "every",   "both",    "few",    "many",    "more",    "most",    "other",  "such",    "only",  "own",   "same",
    "too",     "very",    "just",   "also",    "here",    "there",   "up",     "down",    "out",   "off",   "again",
    "once",    "while",   "until",
};

constexpr size_t kLongestFunctionWord = 7;

// A word of up to eight ASCII bytes as one integer, first byte lowest; zero bytes pad it.
constexpr uint64_t pack(std::string_view word) {
  uint64_t packed = 0;
  for (size_t i = 0; i < word.size(); ++i) packed |= uint64_t{static_cast<uint8_t>(word[i])} << (8 * i);
  return packed;
}

// An entry of the function-word sequence: an index into kFunctionWords, or kBlank for "_".
using Entry = uint8_t;
constexpr Entry kBlank = kFunctionWords.size();

std::string_view entry_text(Entry e) { return e == kBlank ? std::string_view("_") : kFunctionWords[e]; }

// The function words by packed form, in an open-addressing table built at compile time.
constexpr int kWordTableBits = 9;
struct WordSlot {
  uint64_t packed = 0;  // 0: empty (no word packs to 0)
  Entry entry = kBlank;
};

constexpr size_t word_slot(uint64_t packed) { return (packed * 0x9E3779B97F4A7C15ULL) >> (64 - kWordTableBits); }

constexpr auto kWordTable = [] {
  std::array<WordSlot, size_t{1} << kWordTableBits> table{};
  for (size_t e = 0; e < kFunctionWords.size(); ++e) {
    const uint64_t packed = pack(kFunctionWords[e]);
    size_t i = word_slot(packed);
    while (table[i].packed != 0) i = (i + 1) % table.size();
    table[i] = {packed, static_cast<Entry>(e)};
  }
  return table;
}();

static_assert(std::all_of(kFunctionWords.begin(), kFunctionWords.end(),
                          [](std::string_view w) { return !w.empty() && w.size() <= kLongestFunctionWord; }));

Entry lookup(uint64_t packed) {
  for (size_t i = word_slot(packed); kWordTable[i].packed != 0; i = (i + 1) % kWordTable.size()) {
    if (kWordTable[i].packed == packed) return kWordTable[i].entry;
  }
  return kBlank;
}

// Calls f(piece, ascii) for each maximal run of alphanumeric characters in `text`.
template <typename F>
void for_each_piece(std::string_view text, F&& f) {
  size_t begin = 0;
  bool in_piece = false;
  bool ascii = true;
  for (size_t i = 0; i < text.size();) {
    const auto s = decode(text, i);
    if (normalize::is_alphanumeric(s.value)) {
      if (!in_piece) {
        begin = i;
        in_piece = true;
        ascii = true;
      }
      ascii = ascii && s.value < 0x80;
    } else if (in_piece) {
      f(text.substr(begin, i - begin), ascii);
      in_piece = false;
    }
    i += s.length;
  }
  if (in_piece) f(text.substr(begin), ascii);
}

// The function-word entry of a piece. Lower-casing a whole string differs from lower-casing
// it character by character only for the final sigma, which is not ASCII either way, so the
// per-character mapping decides exactly whether the lower-cased piece is a function word.
Entry entry_of(std::string_view piece, bool ascii) {
  uint64_t packed = 0;
  size_t length = 0;
  auto append = [&](char32_t c) {
    if (c >= 0x80 || length == kLongestFunctionWord) return false;
    packed |= uint64_t{c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c} << (8 * length++);
    return true;
  };
  if (ascii) {
    if (piece.size() > kLongestFunctionWord) return kBlank;
    for (char c : piece) append(static_cast<uint8_t>(c));
    return lookup(packed);
  }
  for (size_t i = 0; i < piece.size();) {
    const auto s = decode(piece, i);
    char32_t mapped[3];
    const int count = normalize::lower(s.value, mapped);
    for (int m = 0; m < count; ++m) {
      if (!append(mapped[m])) return kBlank;
    }
    i += s.length;
  }
  return lookup(packed);
}

// Punctuation classes, each named by its class character; the histogram keeps them in
// increasing code-point order of that character.
constexpr std::array<char, 9> kPunctuationClasses = {'!', '"', '(', ',', '-', '.', ':', ';', '?'};

int punctuation_class(char32_t c) {
  char cls;
  switch (c) {
    case '!': case ',': case ':': case ';': case '?': case '.': case '-': case '"': case '(':
      cls = static_cast<char>(c);
      break;
    case 0x2026: cls = '.'; break;
    case 0x2013: case 0x2014: cls = '-'; break;
    case '\'': case 0x2018: case 0x2019: case 0x201C: case 0x201D: cls = '"'; break;
    case ')': case '[': case ']': case '{': case '}': cls = '('; break;
    default: return -1;
  }
  return static_cast<int>(std::find(kPunctuationClasses.begin(), kPunctuationClasses.end(), cls) -
                          kPunctuationClasses.begin());
}

// How often each distinct key occurred, in order of first occurrence.
template <typename Key, typename Mix = internal::MixInteger>
class Tally {
 public:
  void add(const Key& key) {
    const auto fresh = static_cast<uint32_t>(keys_.size());
    const uint32_t id = ids_.find_or_insert(key, fresh);
    if (id == fresh) {
      keys_.push_back(key);
      counts_.push_back(0);
    }
    ++counts_[id];
  }

  template <typename F>
  void for_each(F&& f) const {
    for (size_t id = 0; id < keys_.size(); ++id) f(keys_[id], counts_[id]);
  }

 private:
  internal::DenseIds<Key, Mix> ids_;
  std::vector<Key> keys_;
  std::vector<int64_t> counts_;
};

struct MixPair {
  uint64_t operator()(const std::pair<uint64_t, uint64_t>& p) const {
    return (p.first * 0x9E3779B97F4A7C15ULL ^ p.second) * 0xBF58476D1CE4E5B9ULL;
  }
};

// The features of a text, with equal feature texts merged into one weight: the vote is
// linear, so this gives the same counters as voting every feature on its own, with one hash
// per distinct feature.
class Features {
 public:
  void paragraph(std::string_view text) {
    size_t sentences = 0;
    size_t begin = 0;
    size_t first_visible = std::string_view::npos;  // of the sentence buffer
    for (size_t i = 0; i < text.size();) {
      const auto s = decode(text, i);
      i += s.length;
      if (is_white_space(s.value)) continue;
      if (first_visible == std::string_view::npos) first_visible = i - s.length;
      const bool terminator = s.value == '.' || s.value == '!' || s.value == '?';
      if (terminator && i - first_visible >= kShortestSentenceBytes) {
        sentence(text.substr(begin, i - begin));
        ++sentences;
        begin = i;
        first_visible = std::string_view::npos;
      }
    }
    if (first_visible != std::string_view::npos) {
      sentence(text.substr(begin));
      ++sentences;
    }
    paragraph_sizes_.add(sentences);
  }

  void punctuation(std::string_view stream) {
    for (size_t i = 0; i < stream.size();) {
      const auto s = decode(stream, i);
      const int cls = punctuation_class(s.value);
      if (cls >= 0) ++punctuation_[cls];
      i += s.length;
    }
  }

  simhash::Hash256 vote() {
    simhash::Vote vote;
    sentence_lengths_.for_each([&](uint64_t n, int64_t count) { vote.add("SL1:" + std::to_string(n), 3 * count); });
    length_pairs_.for_each([&](const std::pair<uint64_t, uint64_t>& pair, int64_t count) {
      vote.add("SL2:" + std::to_string(pair.first) + "," + std::to_string(pair.second), 3 * count);
    });
    paragraph_sizes_.for_each([&](uint64_t k, int64_t count) { vote.add("PL:" + std::to_string(k), 2 * count); });
    for (size_t c = 0; c < kPunctuationClasses.size(); ++c) {
      if (punctuation_[c] > 0) vote.add(std::string("PUNCT:") + kPunctuationClasses[c], punctuation_[c]);
    }
    if (entries_ >= 3) {
      trigrams_.for_each([&](uint32_t code, int64_t count) {
        const std::array<Entry, 3> trigram = {static_cast<Entry>(code >> 16), static_cast<Entry>(code >> 8),
                                              static_cast<Entry>(code)};
        vote.add(fw_text(trigram), 2 * count);
      });
    } else if (entries_ > 0) {
      vote.add(fw_text(std::span<const Entry>(first_entries_).first(entries_)), 2);
    }
    return vote.result();
  }

 private:
  // A full stop, "!" or "?" ends a sentence only once the trimmed buffer has this many bytes.
  static constexpr size_t kShortestSentenceBytes = 2;

  void sentence(std::string_view text) {
    size_t tokens = 0;
    for_each_piece(text, [&](std::string_view piece, bool ascii) {
      ++tokens;
      entry(entry_of(piece, ascii));
    });
    sentence_lengths_.add(tokens);
    if (has_previous_) length_pairs_.add({previous_length_, tokens});
    previous_length_ = tokens;
    has_previous_ = true;
  }

  void entry(Entry e) {
    if (entries_ < first_entries_.size()) first_entries_[entries_] = e;
    ++entries_;
    window_ = ((window_ << 8) | e) & 0xFFFFFF;
    if (entries_ >= 3) trigrams_.add(window_);
  }

  static std::string fw_text(std::span<const Entry> entries) {
    std::string text = "FW:";
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) text += ' ';
      text += entry_text(entries[i]);
    }
    return text;
  }

  Tally<uint64_t> sentence_lengths_;
  Tally<std::pair<uint64_t, uint64_t>, MixPair> length_pairs_;
  uint64_t previous_length_ = 0;
  bool has_previous_ = false;
  Tally<uint64_t> paragraph_sizes_;
  std::array<int64_t, kPunctuationClasses.size()> punctuation_{};
  std::array<Entry, 2> first_entries_{};
  size_t entries_ = 0;
  uint32_t window_ = 0;  // the last three entries, one per byte, oldest highest
  Tally<uint32_t> trigrams_;
};

// Calls f(paragraph) for each paragraph of the structural stream: lines are cut at line
// feeds (dropping a carriage return before one), blank lines end paragraphs, and the lines of
// a paragraph are joined each followed by one space. A stream with no paragraph is one.
template <typename F>
void for_each_paragraph(std::string_view stream, F&& f) {
  std::string buffer;
  bool any = false;
  auto flush = [&] {
    if (buffer.empty()) return;
    f(std::string_view(buffer));
    buffer.clear();
    any = true;
  };
  for (size_t begin = 0; begin < stream.size();) {
    size_t end = stream.find('\n', begin);
    const size_t next = end == std::string_view::npos ? stream.size() : end + 1;
    if (end == std::string_view::npos) end = stream.size();
    else if (end > begin && stream[end - 1] == '\r') --end;
    const std::string_view line = stream.substr(begin, end - begin);
    begin = next;
    if (trim_white_space(line).empty()) {
      flush();
    } else {
      buffer.append(line);
      buffer += ' ';
    }
  }
  flush();
  if (!any) f(stream);
}

}  // namespace

simhash::Hash256 compute(std::string_view text) {
  const std::string stream = normalize::structural(text);
  Features features;
  for_each_paragraph(stream, [&](std::string_view paragraph) { features.paragraph(paragraph); });
  features.punctuation(stream);
  return features.vote();
}

}  // namespace quelvane::structure
