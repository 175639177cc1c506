#include "text/Version.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/Text.h"

namespace Text {
namespace {

std::vector<std::int64_t> pieces(const std::string& version) {
  std::vector<std::int64_t> numbers;
  size_t start = 0;
  while (start <= version.size()) {
    size_t end = version.find('.', start);
    if (end == std::string::npos) end = version.size();
    if (end > start) {
      numbers.push_back(
          wholeNumber(std::string_view(version).substr(start, end - start)).value_or(0));
    }
    start = end + 1;
  }
  return numbers;
}

}  // namespace

bool newerVersion(const std::string& a, const std::string& b) {
  auto left = pieces(a);
  auto right = pieces(b);
  size_t n = std::max(left.size(), right.size());
  for (size_t i = 0; i < n; ++i) {
    std::int64_t x = i < left.size() ? left[i] : 0;
    std::int64_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x > y;
  }
  return false;
}

}  // namespace Text
