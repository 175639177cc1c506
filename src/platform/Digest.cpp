#include "platform/Digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "platform/Descriptor.h"

namespace Platform {
namespace {

constexpr std::array<std::uint32_t, 8> initial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotr(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

std::uint32_t bigEndian(const unsigned char* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void compressPortably(std::array<std::uint32_t, 8>& state, const unsigned char* data,
                      std::size_t count) {
  for (; count > 0; --count, data += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = bigEndian(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + rounds[i] + w[i];
      std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__x86_64__) || defined(__i386__)

bool processorHasSha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool vectors = (c & bit_SSSE3) && (c & bit_SSE4_1);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return vectors && (b & bit_SHA);
}

// Sixteen groups of four rounds. The state is kept as the two halves the instructions take
// (A, B, E, F and C, D, G, H); the message schedule runs three groups ahead in four vectors.
__attribute__((target("sha,sse4.1,ssse3"))) void compressWithSha(
    std::array<std::uint32_t, 8>& state, const unsigned char* data, std::size_t count) {
  const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; count > 0; --count, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i m[4];
    for (int i = 0; i < 4; ++i) {
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                              byteOrder);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      __m128i& now = m[i % 4];
      __m128i& next = m[(i + 1) % 4];
      __m128i& before = m[(i + 3) % 4];
      __m128i words =
          _mm_add_epi32(now, _mm_load_si128(reinterpret_cast<const __m128i*>(&rounds[4 * i])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
      if (i >= 3 && i <= 14) {
        next = _mm_add_epi32(next, _mm_alignr_epi8(now, before, 4));
        next = _mm_sha256msg2_epu32(next, now);
      }
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));
      if (i >= 1 && i <= 12) before = _mm_sha256msg1_epu32(before, now);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

#else

bool processorHasSha() {
  return false;
}

void compressWithSha(std::array<std::uint32_t, 8>& state, const unsigned char* data,
                     std::size_t count) {
  compressPortably(state, data, count);
}

#endif

// Files are read in blocks that stay in the processor's cache while they are hashed.
constexpr std::size_t fileBlock = 256 << 10;

}  // namespace

Sha256::Engine Sha256::best() {
  static const bool sha = processorHasSha();
  return sha ? Engine::processor : Engine::portable;
}

Sha256::Sha256(Engine engine)
    : engine_(engine == Engine::processor && best() == Engine::processor ? Engine::processor
                                                                         : Engine::portable),
      state_(initial) {}

void Sha256::compress(const unsigned char* blocks, std::size_t count) {
  if (engine_ == Engine::processor) {
    compressWithSha(state_, blocks, count);
  } else {
    compressPortably(state_, blocks, count);
  }
}

void Sha256::add(std::string_view bytes) {
  if (bytes.empty()) return;  // an empty view may point nowhere, which memcpy must not see
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  length_ += size;
  if (pendingSize_ > 0) {
    const std::size_t taken = std::min(size, pending_.size() - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, data, taken);
    pendingSize_ += taken;
    data += taken;
    size -= taken;
    if (pendingSize_ < pending_.size()) return;
    compress(pending_.data(), 1);
    pendingSize_ = 0;
  }
  if (size >= 64) {
    compress(data, size / 64);
    data += size / 64 * 64;
    size %= 64;
  }
  std::memcpy(pending_.data(), data, size);
  pendingSize_ = size;
}

std::string Sha256::hex() {
  const std::uint64_t bits = length_ * 8;
  unsigned char tail[128] = {0x80};
  const std::size_t padding = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
  for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  add(std::string_view(reinterpret_cast<const char*>(tail), padding + 8));

  static const char* digits = "0123456789abcdef";
  std::string text;
  text.reserve(64);
  for (std::uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(digits[(word >> shift) & 15]);
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
