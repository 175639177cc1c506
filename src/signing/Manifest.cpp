#include "signing/Manifest.h"

#include <algorithm>
#include <charconv>

#include "platform/Digest.h"
#include "platform/Ed25519.h"
#include "platform/Items.h"

namespace fs = std::filesystem;

namespace CodeSign {
namespace {

constexpr std::string_view header = "Quendrel bundle signature 1";
constexpr std::size_t longestPath = 4096;

bool plain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~/+,=@:").find(static_cast<char>(c)) != std::string_view::npos;
}

// Names may hold any byte but the manifest's separators; everything unusual is %XX.
std::string encoded(std::string_view s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (plain(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> decoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    int high = hexDigit(s[i + 1]), low = hexDigit(s[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::string octal(unsigned mode) {
  char text[5] = {
      static_cast<char>('0' + ((mode >> 9) & 7)), static_cast<char>('0' + ((mode >> 6) & 7)),
      static_cast<char>('0' + ((mode >> 3) & 7)), static_cast<char>('0' + (mode & 7)), 0};
  return text;
}

std::optional<unsigned> readOctal(std::string_view s) {
  if (s.size() != 4) return std::nullopt;
  unsigned mode = 0;
  for (char c : s) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + static_cast<unsigned>(c - '0');
  }
  return mode;
}

std::optional<std::uintmax_t> readSize(std::string_view s) {
  std::uintmax_t n = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (error != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return n;
}

bool insideSignature(std::string_view path) {
  return path == signatureFolder || (path.size() > signatureFolder.size() &&
                                     path.substr(0, signatureFolder.size()) == signatureFolder &&
                                     path[signatureFolder.size()] == '/');
}

// A relative path that stays inside the bundle and names something other than the signature.
bool wellFormedPath(std::string_view path) {
  if (path.empty() || path.size() > longestPath || path.front() == '/') return false;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(at, end - at);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) {
      return false;
    }
    at = end + 1;
  }
  return !insideSignature(path);
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  for (;;) {
    std::size_t end = line.find(' ', at);
    if (end == std::string_view::npos) {
      words.push_back(line.substr(at));
      return words;
    }
    words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
}

std::optional<Entry> readEntry(std::string_view line) {
  auto words = split(line);
  Entry entry;
  std::string_view path;
  if (words.size() == 3 && words[0] == "folder") {
    entry.kind = Kind::folder;
    path = words[2];
  } else if (words.size() == 5 && words[0] == "file") {
    entry.kind = Kind::file;
    auto size = readSize(words[2]);
    if (!size || words[3].size() != 64 || !unhex(words[3])) return std::nullopt;
    entry.size = *size;
    entry.digest = std::string(words[3]);
    path = words[4];
  } else if (words.size() == 4 && words[0] == "link") {
    entry.kind = Kind::link;
    auto target = decoded(words[2]);
    if (!target || target->empty() || target->size() > longestPath ||
        target->find('\0') != std::string::npos) {
      return std::nullopt;
    }
    entry.target = *target;
    path = words[3];
  } else {
    return std::nullopt;
  }
  auto mode = readOctal(words[1]);
  auto decodedPath = decoded(path);
  if (!mode || !decodedPath || !wellFormedPath(*decodedPath)) return std::nullopt;
  entry.mode = *mode;
  entry.path = *decodedPath;
  return entry;
}

std::string describe(const Entry& entry) {
  std::string line;
  switch (entry.kind) {
    case Kind::folder:
      line = "folder " + octal(entry.mode) + " " + encoded(entry.path);
      break;
    case Kind::file:
      line = "file " + octal(entry.mode) + " " + std::to_string(entry.size) + " " + entry.digest +
             " " + encoded(entry.path);
      break;
    case Kind::link:
      line = "link " + octal(entry.mode) + " " + encoded(entry.target) + " " + encoded(entry.path);
      break;
  }
  return line;
}

std::optional<std::string> walk(const fs::path& bundle, const std::string& relative, bool digests,
                                std::vector<Entry>& out) {
  std::error_code error;
  const fs::path folder = relative.empty() ? bundle : bundle / relative;
  fs::directory_iterator it(folder, error);
  if (error) return (relative.empty() ? std::string("the bundle") : relative) + " cannot be read";
  for (; it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string path = relative.empty() ? name : relative + "/" + name;
    if (path == signatureFolder) continue;
    auto status = Platform::lookAt(it->path());
    if (!status) return path + " cannot be read";
    Entry entry;
    entry.path = path;
    entry.mode = status->mode;
    switch (status->kind) {
      case Platform::ItemKind::folder:
        entry.kind = Kind::folder;
        out.push_back(entry);
        if (auto problem = walk(bundle, path, digests, out)) return problem;
        continue;
      case Platform::ItemKind::file:
        entry.kind = Kind::file;
        entry.size = status->size;
        if (digests) {
          auto digest = Platform::sha256OfFile(it->path());
          if (!digest) return path + " cannot be read";
          entry.digest = *digest;
        }
        break;
      case Platform::ItemKind::link: {
        entry.kind = Kind::link;
        auto target = Platform::linkTarget(it->path());
        if (!target || target->empty()) return path + " cannot be read";
        entry.target = *target;
        break;
      }
      case Platform::ItemKind::other:
        return path + " is neither a file, a folder nor a link";
    }
    out.push_back(std::move(entry));
  }
  if (error) return (relative.empty() ? std::string("the bundle") : relative) + " cannot be read";
  return std::nullopt;
}

}  // namespace

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::optional<std::string> unhex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    // Lower case only, so that one manifest has one spelling.
    auto digit = [](char c) {
      return (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    };
    int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::string write(const Manifest& manifest) {
  std::string text(header);
  text +=
      "\nidentifier " + encoded(manifest.identifier) + "\nkey " + hex(manifest.publicKey) + "\n";
  for (const auto& entry : manifest.entries) text += describe(entry) + "\n";
  return text;
}

std::optional<Manifest> read(std::string_view text) {
  if (text.size() > largestManifest || text.empty() || text.back() != '\n') return std::nullopt;
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() < 3 || lines[0] != header) return std::nullopt;
  if (lines[1].substr(0, 11) != "identifier " || lines[2].substr(0, 4) != "key ")
    return std::nullopt;

  Manifest manifest;
  auto identifier = decoded(lines[1].substr(11));
  auto key = unhex(lines[2].substr(4));
  if (!identifier || identifier->empty() || !key ||
      key->size() != Platform::Ed25519::publicKeySize) {
    return std::nullopt;
  }
  manifest.identifier = *identifier;
  manifest.publicKey = *key;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    auto entry = readEntry(lines[i]);
    if (!entry) return std::nullopt;
    // Strictly increasing: one order, and every path once.
    if (!manifest.entries.empty() && !(manifest.entries.back().path < entry->path))
      return std::nullopt;
    manifest.entries.push_back(std::move(*entry));
  }
  // One manifest has exactly one text: what does not read back the same was not written by us.
  if (write(manifest) != text) return std::nullopt;
  return manifest;
}

std::variant<std::vector<Entry>, Unreadable> scan(const fs::path& bundle, bool digests) {
  std::vector<Entry> entries;
  if (auto problem = walk(bundle, "", digests, entries)) return Unreadable{*problem};
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  return entries;
}

std::optional<std::string> difference(const std::vector<Entry>& signedFor,
                                      const std::vector<Entry>& found) {
  std::size_t i = 0, j = 0;
  while (i < signedFor.size() || j < found.size()) {
    if (j == found.size() || (i < signedFor.size() && signedFor[i].path < found[j].path)) {
      return signedFor[i].path + " is missing";
    }
    if (i == signedFor.size() || found[j].path < signedFor[i].path) {
      return found[j].path + " was added";
    }
    const Entry& a = signedFor[i++];
    const Entry& b = found[j++];
    if (a.kind != b.kind)
      return a.path + " is no longer a " +
             (a.kind == Kind::file     ? "file"
              : a.kind == Kind::folder ? "folder"
                                       : "link");
    if (a.mode != b.mode)
      return a.path + " changed its mode from " + octal(a.mode) + " to " + octal(b.mode);
    if (a.target != b.target) return a.path + " points elsewhere";
    if (a.size != b.size || a.digest != b.digest) return a.path + " was changed";
  }
  return std::nullopt;
}

}  // namespace CodeSign
