#include "signing/CodeSign.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "platform/Bundle.h"
#include "platform/Digest.h"
#include "platform/Ed25519.h"
#include "platform/Files.h"
#include "platform/Items.h"
#include "signing/Manifest.h"

namespace fs = std::filesystem;

namespace CodeSign {
namespace {

constexpr std::string_view keyHeader = "Quendrel signing key 1\n";

// A small file read whole, refusing links and anything larger than `largest`.
std::optional<std::string> readSmall(const fs::path& file, std::uintmax_t largest) {
  auto status = Platform::lookAt(file);
  if (!status || status->kind != Platform::ItemKind::file || status->size > largest) {
    return std::nullopt;
  }
  auto bytes = Platform::readFile(file);
  if (!bytes || bytes->size() > largest) return std::nullopt;
  return bytes;
}

std::variant<CodeSign::Manifest, Invalid> signedManifest(const fs::path& bundle) {
  const fs::path folder = bundle / CodeSign::signatureFolder;
  auto status = Platform::lookAt(folder);
  if (!status) return Invalid{"not signed"};
  if (status->kind != Platform::ItemKind::folder) return Invalid{"the signature is damaged"};
  auto text = readSmall(folder / CodeSign::manifestFile, CodeSign::largestManifest);
  auto signature = readSmall(folder / CodeSign::signatureFile, 256);
  if (!text || !signature) return Invalid{"the signature is damaged"};
  auto manifest = CodeSign::read(*text);
  if (signature->size() != 2 * Platform::Ed25519::signatureSize + 1 || signature->back() != '\n') {
    return Invalid{"the signature is damaged"};
  }
  auto bytes = CodeSign::unhex(std::string_view(*signature).substr(0, signature->size() - 1));
  if (!manifest || !bytes) return Invalid{"the signature is damaged"};
  if (!Platform::Ed25519::verify(*text, *bytes, manifest->publicKey)) {
    return Invalid{"the signature does not match the manifest"};
  }
  return std::move(*manifest);
}

// The first file in manifest order whose contents are not the signed ones. Hashing is most of
// the work, so two threads take the files in turns; each file is hashed by one of them, and
// a thread stops once a file before its next one has been found changed, so the answer is
// the same however they were scheduled.
const CodeSign::Entry* firstChanged(const fs::path& bundle,
                                    const std::vector<CodeSign::Entry>& entries) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first{entries.size()};
  auto work = [&] {
    for (std::size_t i = next++; i < entries.size() && i < first; i = next++) {
      const CodeSign::Entry& entry = entries[i];
      if (entry.kind != CodeSign::Kind::file) continue;
      if (Platform::sha256OfFile(bundle / entry.path) == entry.digest) continue;
      std::size_t seen = first;
      while (i < seen && !first.compare_exchange_weak(seen, i)) {
      }
    }
  };
  std::optional<std::thread> helper;
  if (std::thread::hardware_concurrency() > 1) {
    try {
      helper.emplace(work);
    } catch (const std::system_error&) {
      // No second thread to be had: this one does it all.
    }
  }
  work();
  if (helper) helper->join();
  return first < entries.size() ? &entries[first] : nullptr;
}

}  // namespace

Verdict signer(const fs::path& bundle) {
  auto found = signedManifest(bundle);
  if (auto* invalid = std::get_if<Invalid>(&found)) return *invalid;
  auto& manifest = std::get<CodeSign::Manifest>(found);
  return Signer{manifest.identifier, manifest.publicKey};
}

Verdict verify(const fs::path& bundle) {
  auto found = signedManifest(bundle);
  if (auto* invalid = std::get_if<Invalid>(&found)) return *invalid;
  const auto& manifest = std::get<CodeSign::Manifest>(found);

  // Nothing but the manifest and the signature may stand in the signature's folder.
  std::error_code error;
  int inside = 0;
  for (fs::directory_iterator it(bundle / CodeSign::signatureFolder, error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    ++inside;
  }
  if (error || inside != 2)
    return Invalid{std::string(CodeSign::signatureFolder) + " holds more than the signature"};

  if (Platform::Bundle{bundle}.value("CFBundleIdentifier") != manifest.identifier) {
    return Invalid{"the identifier in Info.plist is not the signed one"};
  }

  // The shape first, which is quick, then the contents.
  auto scanned = CodeSign::scan(bundle, false);
  if (auto* unreadable = std::get_if<CodeSign::Unreadable>(&scanned))
    return Invalid{unreadable->why};
  auto shape = manifest.entries;
  for (auto& entry : shape) entry.digest.clear();
  if (auto difference =
          CodeSign::difference(shape, std::get<std::vector<CodeSign::Entry>>(scanned))) {
    return Invalid{*difference};
  }
  if (auto changed = firstChanged(bundle, manifest.entries)) {
    return Invalid{changed->path + " was changed"};
  }
  return Signer{manifest.identifier, manifest.publicKey};
}

std::optional<std::string> sign(const fs::path& bundle, std::string_view secretKey) {
  auto publicKey = Platform::Ed25519::publicKeyOf(secretKey);
  if (!publicKey) return "the key is not a signing key";
  auto identifier = Platform::Bundle{bundle}.value("CFBundleIdentifier");
  if (!identifier || identifier->empty()) return "Info.plist has no CFBundleIdentifier";

  auto scanned = CodeSign::scan(bundle, true);
  if (auto* unreadable = std::get_if<CodeSign::Unreadable>(&scanned)) return unreadable->why;
  CodeSign::Manifest manifest{*identifier, *publicKey,
                              std::move(std::get<std::vector<CodeSign::Entry>>(scanned))};
  const std::string text = CodeSign::write(manifest);
  auto signature = Platform::Ed25519::sign(text, secretKey);
  if (!signature) return "the key is not a signing key";

  const fs::path folder = bundle / CodeSign::signatureFolder;
  std::error_code error;
  fs::remove_all(folder, error);
  if (error) return "the old signature could not be removed (" + error.message() + ")";
  fs::create_directories(folder, error);
  if (error) return "the signature's folder could not be made (" + error.message() + ")";
  if (!Platform::writeAtomically(folder / CodeSign::manifestFile, text, 0644) ||
      !Platform::writeAtomically(folder / CodeSign::signatureFile, CodeSign::hex(*signature) + "\n",
                                 0644)) {
    return "the signature could not be written";
  }
  return std::nullopt;
}

std::string team(std::string_view publicKey) {
  std::string digest = Platform::sha256Hex(publicKey).substr(0, 10);
  for (char& c : digest) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return digest;
}

std::optional<std::string> makeKey(const fs::path& file) {
  if (Platform::existsNoFollow(file)) return file.string() + " already exists";
  auto pair = Platform::Ed25519::generate();
  const std::string text = std::string(keyHeader) + CodeSign::hex(pair.secretKey) + "\n";
  if (!Platform::writeAtomically(file, text, 0600)) return file.string() + " could not be written";
  return std::nullopt;
}

std::optional<std::string> readKey(const fs::path& file) {
  auto text = readSmall(file, 4096);
  const std::size_t length = keyHeader.size() + 2 * Platform::Ed25519::secretKeySize + 1;
  if (!text || text->size() != length || text->compare(0, keyHeader.size(), keyHeader) != 0 ||
      text->back() != '\n') {
    return std::nullopt;
  }
  auto key = CodeSign::unhex(
      std::string_view(*text).substr(keyHeader.size(), length - keyHeader.size() - 1));
  if (!key || !Platform::Ed25519::publicKeyOf(*key)) return std::nullopt;
  return key;
}

std::optional<std::string> publicKeyOf(std::string_view secretKey) {
  return Platform::Ed25519::publicKeyOf(secretKey);
}

bool intact(const fs::path& copy, const fs::path& source) {
  auto wanted = signer(source);
  if (!std::holds_alternative<Signer>(wanted)) return false;
  auto found = verify(copy);
  return std::holds_alternative<Signer>(found) &&
         std::get<Signer>(found) == std::get<Signer>(wanted);
}

bool signedLikeUs(const fs::path& app) {
  auto ours = Platform::mainBundle();
  if (!ours) return false;
  auto mine = verify(ours->location);
  auto theirs = verify(app);
  return std::holds_alternative<Signer>(mine) && std::holds_alternative<Signer>(theirs) &&
         std::get<Signer>(mine).publicKey == std::get<Signer>(theirs).publicKey;
}

std::optional<std::string> ourTeam() {
  auto ours = Platform::mainBundle();
  if (!ours) return std::nullopt;
  auto who = signer(ours->location);
  if (!std::holds_alternative<Signer>(who)) return std::nullopt;
  return team(std::get<Signer>(who).publicKey);
}

}  // namespace CodeSign
