#include "platform/Digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Descriptor.h"
#include "platform/LibCrypto.h"

namespace Platform {
namespace {

// Fetched once: an implicit fetch at every start would look the algorithm up again for each
// file of a bundle.
const EVP_MD* sha256() {
  static const LibCrypto::Digest digest(LibCrypto::crypto().MD_fetch(nullptr, "SHA256", nullptr));
  if (!digest) throw std::runtime_error("libcrypto has no SHA-256");
  return digest.get();
}

// libcrypto hashes as fast as the processor's cache delivers, but it waits for bytes that
// come from memory (a download held whole is hashed a fifth slower than the same bytes in the
// cache). So a large buffer goes in pieces, and the processor fetches each next piece while the
// one before is hashed.
constexpr std::size_t piece = 4096;
constexpr std::size_t cacheLine = 64;

// Files are read in blocks that stay in the processor's cache while they are hashed.
constexpr std::size_t fileBlock = 256 << 10;

}  // namespace

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
  LibCrypto::crypto().MD_CTX_free(context);
}

Sha256::Sha256() : context_(LibCrypto::crypto().MD_CTX_new()) {
  if (!context_) throw std::bad_alloc();
  LibCrypto::check(LibCrypto::crypto().DigestInit_ex2(context_.get(), sha256(), nullptr),
                   "start a SHA-256 digest");
}

void Sha256::add(std::string_view bytes) {
  while (bytes.size() > piece) {
    const std::size_t ahead = std::min(bytes.size(), 2 * piece);
    for (std::size_t line = piece; line < ahead; line += cacheLine) {
      __builtin_prefetch(bytes.data() + line);
    }
    update(bytes.substr(0, piece));
    bytes.remove_prefix(piece);
  }
  update(bytes);
}

void Sha256::update(std::string_view bytes) {
  LibCrypto::check(LibCrypto::crypto().DigestUpdate(context_.get(), bytes.data(), bytes.size()),
                   "add to a SHA-256 digest");
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  LibCrypto::check(LibCrypto::crypto().DigestFinal_ex(context_.get(), digest, &size),
                   "end a SHA-256 digest");
  static const char* digits = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    text.push_back(digits[digest[i] >> 4]);
    text.push_back(digits[digest[i] & 15]);
  }
  return text;
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 digest;
  digest.add(bytes);
  return digest.hex();
}

std::optional<std::string> sha256OfFile(const std::filesystem::path& path) {
  Descriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat status;
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // A small file gets a buffer of its own size, not a whole block.
  const std::size_t block =
      std::min(fileBlock, static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)) + 1);
  auto buffer = std::make_unique_for_overwrite<char[]>(block);
  Sha256 digest;
  for (;;) {
    ssize_t n = read(fd.get(), buffer.get(), block);
    if (n > 0) {
      digest.add(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
  return digest.hex();
}

}  // namespace Platform
