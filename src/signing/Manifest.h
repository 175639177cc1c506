#pragma once
// The manifest of a signed bundle: every item below the bundle (the signature's own folder
// excepted) with its kind, mode and contents, the bundle identifier and the signer's public
// key. Its text is what the signature covers, so it is written in one canonical form and read
// back strictly: anything that is not exactly that form is no manifest at all.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace CodeSign {

// Where the signature lives inside a bundle, and its two files.
inline constexpr std::string_view signatureFolder = "Contents/_CodeSignature";
inline constexpr std::string_view manifestFile = "Manifest";
inline constexpr std::string_view signatureFile = "Signature";

enum class Kind { file, folder, link };

struct Entry {
  std::string path;  // relative to the bundle, "/"-separated
  Kind kind = Kind::file;
  unsigned mode = 0;        // 07777
  std::uintmax_t size = 0;  // files
  std::string digest;       // files: SHA-256, 64 lower-case hexadecimal digits
  std::string target;       // links: the target as written
  bool operator==(const Entry&) const = default;
};

struct Manifest {
  std::string identifier;
  std::string publicKey;       // raw bytes
  std::vector<Entry> entries;  // in byte order of their paths, each path once
  bool operator==(const Manifest&) const = default;
};

// The canonical text.
std::string write(const Manifest& manifest);

// The manifest when `text` is exactly a canonical one; nothing for anything else (damaged,
// truncated, oversized, reordered, duplicated, or paths that leave the bundle).
std::optional<Manifest> read(std::string_view text);

// Manifests larger than this are refused unread.
inline constexpr std::uintmax_t largestManifest = 64u << 20;

struct Unreadable {
  std::string why;  // one line
};

// The bundle's items as they stand, in manifest order. With `digests` false the files'
// digests are left empty (a quick first look before the slow part). Fails on an item that is
// neither file, folder nor link, or that cannot be read.
std::variant<std::vector<Entry>, Unreadable> scan(const std::filesystem::path& bundle,
                                                  bool digests);

// Where the two lists first differ, as a short phrase ("Contents/x was added"); nothing when
// they are equal.
std::optional<std::string> difference(const std::vector<Entry>& signedFor,
                                      const std::vector<Entry>& found);

// Lower-case hexadecimal.
std::string hex(std::string_view bytes);
std::optional<std::string> unhex(std::string_view text);

}  // namespace CodeSign
