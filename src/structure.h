// The structural fingerprint of a text (id 43): a SimHash over the shape of the writing
// rather than its words: sentence lengths and how they follow each other, sentences per
// paragraph, punctuation, and the sequence of English function words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "simhash.h"

namespace quelvane::structure {

// The structural SimHash of the text's structural stream. Every text, the empty one
// included, has one.
simhash::Hash256 compute(std::string_view text);

// The words of `sentence`: the runs of alphanumeric characters, each lower-cased as a whole
// string (so a final capital sigma becomes U+03C2).
std::vector<std::string> word_tokens(std::string_view sentence);

}  // namespace quelvane::structure
