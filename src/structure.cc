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
//
// The structural stream is read character by character as it is produced, never held whole.
// A paragraph is the text of its non-blank lines, each followed by a space; since the line
// breaks, that space and all white space only ever end a token (and a sentence needs a visible
// character first), every character can be taken as it comes, and a blank line, known at its
// line feed, ends the paragraph. A full stop, "!" or "?" ends a sentence unless it is the
// sentence's first visible character (the trimmed sentence must be at least 2 bytes long).
class Features {
 public:
  void read(std::string_view piece) {
    for (size_t i = 0; i < piece.size();) {
      const auto s = decode(piece, i);
      i += s.length;
      character(s.value);
    }
  }

  // Ends the stream. One with no paragraph (empty, or white space only) is one empty paragraph.
  void finish() {
    end_paragraph();
    if (!any_paragraph_) paragraph_sizes_.add(0);
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
  void character(char32_t c) {
    const int cls = punctuation_class(c);
    if (cls >= 0) ++punctuation_[cls];
    if (is_white_space(c)) {
      end_token();
      if (c == '\n') {
        if (!line_visible_) end_paragraph();  // a blank line
        line_visible_ = false;
      }
      return;
    }
    line_visible_ = true;
    in_paragraph_ = true;
    if (normalize::is_alphanumeric(c)) {
      token_character(c);
    } else {
      end_token();
    }
    const bool terminator = c == '.' || c == '!' || c == '?';
    if (terminator && in_sentence_) {
      end_sentence();
    } else {
      in_sentence_ = true;
    }
  }

  // A token is a function word when its characters, lower-cased one by one, are ASCII and at
  // most seven. Lower-casing the whole token differs from that only for the final sigma, which
  // is not ASCII either way.
  void token_character(char32_t c) {
    if (!in_token_) {
      in_token_ = true;
      packed_ = 0;
      packed_length_ = 0;
      function_word_ = true;
    }
    if (!function_word_) return;
    char32_t mapped[3];
    int count = 1;
    if (c < 0x80) {
      mapped[0] = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    } else {
      count = normalize::lower(c, mapped);
    }
    for (int m = 0; m < count; ++m) {
      if (mapped[m] >= 0x80 || packed_length_ == kLongestFunctionWord) {
        function_word_ = false;
        return;
      }
      packed_ |= uint64_t{mapped[m]} << (8 * packed_length_++);
    }
  }

  void end_token() {
    if (!in_token_) return;
    in_token_ = false;
    ++tokens_;
    entry(function_word_ ? lookup(packed_) : kBlank);
  }

  void end_sentence() {
    end_token();
    sentence_lengths_.add(tokens_);
    if (has_previous_) length_pairs_.add({previous_length_, tokens_});
    previous_length_ = tokens_;
    has_previous_ = true;
    tokens_ = 0;
    in_sentence_ = false;
    ++sentences_;
  }

  void end_paragraph() {
    if (!in_paragraph_) return;
    end_token();
    if (in_sentence_) end_sentence();
    paragraph_sizes_.add(sentences_);
    sentences_ = 0;
    in_paragraph_ = false;
    any_paragraph_ = true;
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

  // Where the reading is.
  bool line_visible_ = false;  // the current line has a character that is not white space
  bool in_paragraph_ = false;  // a non-blank line since the last paragraph ended
  bool any_paragraph_ = false;
  size_t sentences_ = 0;       // in the current paragraph
  bool in_sentence_ = false;   // a visible character since the last sentence ended
  uint64_t tokens_ = 0;        // in the current sentence
  bool in_token_ = false;
  uint64_t packed_ = 0;        // the token lower-cased, while it may be a function word
  size_t packed_length_ = 0;
  bool function_word_ = false;

  // What is counted.
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

}  // namespace

simhash::Hash256 compute(std::string_view text) {
  Features features;
  normalize::for_each_structural_piece(text, [&](std::string_view piece) { features.read(piece); });
  features.finish();
  return features.vote();
}

}  // namespace quelvane::structure
