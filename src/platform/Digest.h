#pragma once
// SHA-256 digests, computed by OpenSSL's libcrypto (which uses the processor's SHA
// instructions where it has them).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;  // libcrypto's EVP_MD_CTX

namespace Platform {

// A digest computed piece by piece.
class Sha256 {
 public:
  Sha256();

  void add(std::string_view bytes);

  // The digest of everything added, as 64 lower-case hexadecimal digits. Ends the digest:
  // nothing may be added afterwards.
  std::string hex();

 private:
  void update(std::string_view bytes);

  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

// The SHA-256 digest of the bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// The SHA-256 digest of the regular file at `path` as 64 lower-case hexadecimal digits, read
// in large blocks. Nothing when it is not a regular file (a final symbolic link is not followed)
// or cannot be read whole.
std::optional<std::string> sha256OfFile(const std::filesystem::path& path);

}  // namespace Platform
