#pragma once
// Text as the user sees it: characters made of one or more code points (a digit with an
// accent, a keycap, a flag), following Unicode's extended grapheme clusters.
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

// The characters of UTF-8 text, in order, each as UTF-8. Ill-formed bytes become U+FFFD.
std::vector<std::string> characters(std::string_view utf8);

}  // namespace Platform
