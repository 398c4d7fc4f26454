// Text shown inside messages the way a debugger shows a string literal. Not API.
#pragma once

#include <string>
#include <string_view>

namespace quelvane::internal {

// `text` in double quotes, with backslash escapes for quotes, backslashes and control
// characters: a "q" and a newline become "a \"q\" and a newline\n".
std::string debug_quoted(std::string_view text);

}  // namespace quelvane::internal
