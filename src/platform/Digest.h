#pragma once
// SHA-256 digests, computed with the processor's SHA instructions where it has them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Platform {

// A digest computed piece by piece.
class Sha256 {
 public:
  enum class Engine {
    processor,  // the SHA extensions of x86 processors
    portable,   // plain code, for processors without them
  };

  // The processor's engine where it has the instructions, else the portable one.
  static Engine best();

  explicit Sha256(Engine engine = best());

  void add(std::string_view bytes);

  // The digest of everything added, as 64 lower-case hexadecimal digits. Ends the digest:
  // nothing may be added afterwards.
  std::string hex();

 private:
  void compress(const unsigned char* blocks, std::size_t count);

  Engine engine_;
  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t length_ = 0;
};

// The SHA-256 digest of the bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// The SHA-256 digest of the regular file at `path` as 64 lower-case hexadecimal digits, read
// in large blocks. Nothing when it is not a regular file (a final symbolic link is not followed)
// or cannot be read whole.
std::optional<std::string> sha256OfFile(const std::filesystem::path& path);

}  // namespace Platform
