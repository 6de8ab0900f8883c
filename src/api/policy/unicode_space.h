#ifndef VORN_API_POLICY_UNICODE_SPACE_H_
#define VORN_API_POLICY_UNICODE_SPACE_H_

#include <string_view>
#include <vector>

namespace vorn {

// White space as the policy grammars understand it: the code points with the Unicode
// White_Space property (ASCII blanks, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000), read from UTF-8. Bytes that are not valid UTF-8
// are never white space.

// `text` without leading and trailing white space.
std::string_view trim_space(std::string_view text);

// The non-empty runs of `text` between runs of white space, in order.
std::vector<std::string_view> split_space(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_UNICODE_SPACE_H_
