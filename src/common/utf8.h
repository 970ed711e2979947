// UTF-8 checks for texts that reach clients inside JSON answers.
#pragma once

#include <string>
#include <string_view>

namespace utf8 {

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// truncated or overlong sequences, no surrogates, nothing above U+10FFFF.
bool valid(std::string_view text);

// `text` with each ill-formed part replaced by U+FFFD: a byte that cannot
// start a sequence, or the longest start of a sequence that breaks off, counts
// as one part (the replacement that Unicode recommends, and browsers use).
std::string repaired(std::string_view text);

}  // namespace utf8
