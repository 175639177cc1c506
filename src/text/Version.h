#pragma once
// Dotted version numbers ("1.10.2") and their order.
#include <string>

namespace Text {

// Whether dotted version `a` orders strictly after `b`: piece by piece as whole numbers, a
// missing or unreadable piece counting as 0.
bool newerVersion(const std::string& a, const std::string& b);

}  // namespace Text
