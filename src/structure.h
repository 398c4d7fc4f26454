// The structural fingerprint of a text (id 43): a SimHash over the shape of the writing
// rather than its words: sentence lengths and how they follow each other, sentences per
// paragraph, punctuation, and the sequence of English function words.
#pragma once

#include <string_view>

#include "simhash.h"

namespace quelvane::structure {

// The structural SimHash of the text's structural stream. Every text, the empty one
// included, has one.
simhash::Hash256 compute(std::string_view text);

}  // namespace quelvane::structure
