#include "platform/plist.h"

#include <plist/plist.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace platform::plist {
namespace {

// Property lists larger than this are not application information files.
constexpr std::uintmax_t largest = 16 << 20;

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
  if (bytes.empty() || bytes.size() > largest) return std::nullopt;

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

}  // namespace platform::plist
