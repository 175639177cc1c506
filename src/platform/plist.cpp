#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
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
struct FreedText {
  void operator()(char* p) const { std::free(p); }
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
  char* raw = nullptr;
  plist_get_string_val(value, &raw);
  if (!raw) return std::nullopt;
  std::unique_ptr<char, FreedText> held(raw);
  return std::string(raw);
}

}  // namespace platform::plist
