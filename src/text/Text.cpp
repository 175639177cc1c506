#include "text/Text.h"

#include <charconv>
#include <cstdint>

namespace Text {

bool isUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t more;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= n) return false;
    for (size_t k = 1; k <= more; ++k) {
      auto d = static_cast<unsigned char>(bytes[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

std::string utf8OrEmpty(std::string_view bytes) {
  return isUtf8(bytes) ? std::string(bytes) : std::string();
}

std::string trim(std::string_view s, std::string_view chars) {
  auto first = s.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(chars);
  return std::string(s.substr(first, last - first + 1));
}

std::vector<std::string> nonEmptyLines(std::string_view s) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find('\n', start);
    if (end == std::string_view::npos) end = s.size();
    if (end > start) lines.emplace_back(s.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string lastJoined(const std::vector<std::string>& lines, std::size_t n,
                       std::string_view separator) {
  std::string joined;
  size_t from = lines.size() > n ? lines.size() - n : 0;
  for (size_t i = from; i < lines.size(); ++i) {
    if (i > from) joined += separator;
    joined += lines[i];
  }
  return joined;
}

std::string capitalised(std::string_view s) {
  std::string out(s);
  if (out.empty()) return out;
  auto c = static_cast<unsigned char>(out[0]);
  if (c >= 'a' && c <= 'z') {
    out[0] = static_cast<char>(c - 'a' + 'A');
  } else if (c == 0xC3 && out.size() > 1) {
    // Latin-1 small letters à–þ (except ÷) sit 0x20 above their capitals.
    auto d = static_cast<unsigned char>(out[1]);
    if (d >= 0xA0 && d <= 0xBE && d != 0xB7) out[1] = static_cast<char>(d - 0x20);
  }
  return out;
}

std::optional<std::int64_t> wholeNumber(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Read the digits with the sign attached so that the lowest 64-bit value fits too.
  std::string digits = (negative ? "-" : "") + std::string(s);
  std::int64_t number = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

}  // namespace Text
