#include "platform/Plist.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>

namespace Platform::Plist {
namespace {

// Property lists larger than this are not application information files.
constexpr std::uintmax_t largest = 16 << 20;

// The reader descends into nested arrays and dictionaries by recursion, so a file nested some
// hundred thousand deep overflows the stack. An application's information file holds a few
// dozen containers; one with more than this many is refused before it is parsed, which
// bounds the depth (the reader refuses a container that holds itself).
constexpr std::size_t mostContainers = 4096;

std::uint64_t bigEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (unsigned char c : bytes) value = value << 8 | c;
  return value;
}

// The arrays, sets and dictionaries of a binary property list, found through its offset
// table; nothing when the table does not fit the file.
std::optional<std::size_t> binaryContainers(std::string_view bytes) {
  constexpr std::size_t trailer = 32;
  if (bytes.size() < 8 + trailer) return std::nullopt;
  const std::string_view end = bytes.substr(bytes.size() - trailer);
  const std::size_t offsetSize = static_cast<unsigned char>(end[6]);
  const std::uint64_t count = bigEndian(end.substr(8, 8));
  const std::uint64_t table = bigEndian(end.substr(24, 8));
  const std::size_t body = bytes.size() - trailer;
  if (offsetSize < 1 || offsetSize > 8 || table >= body || count > (body - table) / offsetSize) {
    return std::nullopt;
  }
  std::size_t containers = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t offset = bigEndian(bytes.substr(table + i * offsetSize, offsetSize));
    if (offset >= table) return std::nullopt;
    const unsigned kind = static_cast<unsigned char>(bytes[offset]) >> 4;
    if (kind == 0xA || kind == 0xC || kind == 0xD) ++containers;
  }
  return containers;
}

// In a text property list every container is named by its element's tag (or opened by a
// bracket, in the other text forms); counting the names anywhere errs only on the safe side.
std::size_t textContainers(std::string_view bytes) {
  std::size_t count = 0;
  for (std::string_view name : {"dict", "array"}) {
    for (auto at = bytes.find(name); at != std::string_view::npos; at = bytes.find(name, at + 1)) {
      ++count;
    }
  }
  for (char c : bytes) count += c == '{' || c == '[' || c == '(';
  return count;
}

bool shallow(std::string_view bytes) {
  if (bytes.substr(0, 6) == "bplist") {
    auto containers = binaryContainers(bytes);
    return containers && *containers <= mostContainers;
  }
  return textContainers(bytes) <= mostContainers;
}

struct Freed {
  void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

}  // namespace

std::optional<std::string> text(const std::filesystem::path& file, const std::string& key) {
  std::error_code error;
  auto size = std::filesystem::file_size(file, error);
  if (error || size == 0 || size > largest) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty() || bytes.size() > largest || !shallow(bytes)) return std::nullopt;

  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  std::unique_ptr<void, Freed> owned(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  plist_t value = plist_dict_get_item(root, key.c_str());
  if (!value || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  // Read in place with its length (the copying reader aborts on a string holding a NUL);
  // such a text ends at its first NUL, as every reader of it expects.
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (!text) return std::nullopt;
  return std::string(text, strnlen(text, length));
}

}  // namespace Platform::Plist
