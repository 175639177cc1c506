#pragma once
// Which characters count as numbers: those whose Unicode Numeric_Type is Decimal, Digit or
// Numeric. That takes in the digits of every script, superscripts, vulgar fractions, Roman
// numerals and the CJK ideographs that stand for numbers.
#include <string_view>

namespace Text {

// Whether the code point has a numeric type.
bool numeric(char32_t c);

// The first code point of UTF-8 text; U+FFFD when the text is empty or does not begin with a
// well-formed sequence.
char32_t firstScalar(std::string_view utf8);

}  // namespace Text
