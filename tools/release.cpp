// quendrel-release: publishes a version of Quendrel for the update feed.
//
//   quendrel-release BUNDLE --key KEY --out DIR
//
// Signs BUNDLE with KEY, builds the disk image DIR/Quendrel-<version>.img (squashfs, holding
// the bundle at its top level as "Quendrel.app") and writes the feed DIR/latest.json naming
// that image, its version and its SHA-256 digest. The image is complete before the feed names
// it, so a service serving DIR never offers half an image.
//
// Failures exit 1 with one line on standard error saying why.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Copying.h"
#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Items.h"
#include "platform/Process.h"
#include "signing/CodeSign.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* usage = "usage: quendrel-release BUNDLE --key KEY --out DIR\n";
constexpr const char* mksquashfs = "/usr/bin/mksquashfs";
constexpr const char* feedFile = "latest.json";

int fail(const std::string& why) {
  std::cerr << why << '\n';
  return 1;
}

// A private temporary folder, removed with everything in it when dropped.
class Scratch {
 public:
  explicit Scratch(fs::path path) : path_(std::move(path)) {}
  ~Scratch() { Settling::discard(path_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The version becomes part of the image's file name: digits, letters and . + - _ only.
bool usableVersion(const std::string& version) {
  return !version.empty() && version.front() != '.' &&
         std::all_of(version.begin(), version.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '.' || c == '+' || c == '-' || c == '_';
         });
}

std::string lastLine(std::string output) {
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  auto at = output.rfind('\n');
  return at == std::string::npos ? output : output.substr(at + 1);
}

// Makes a squashfs image of everything in `folder`; the problem when it could not.
std::optional<std::string> makeImage(const fs::path& folder, const fs::path& image) {
  auto ran = Platform::run(
      {mksquashfs,
       {folder.string(), image.string(), "-noappend", "-all-root", "-quiet", "-no-progress"},
       ""},
      Platform::Output::pipe);
  if (auto* unstarted = std::get_if<Platform::Unstarted>(&ran)) {
    return std::string(mksquashfs) + " could not be started: " + unstarted->why;
  }
  const auto& exited = std::get<Platform::Exited>(ran);
  if (exited.status != 0) return "mksquashfs failed: " + lastLine(exited.output);
  return std::nullopt;
}

int release(const fs::path& bundle, const fs::path& keyFile, const fs::path& out) {
  auto key = CodeSign::readKey(keyFile);
  if (!key) return fail(keyFile.string() + " is not a signing key");
  if (!Settling::isOurs(bundle)) return fail(bundle.string() + " is not a Quendrel bundle");
  const std::string version = Settling::version(bundle);
  if (!usableVersion(version)) {
    return fail(bundle.string() + ": the version \"" + version + "\" cannot name a release");
  }

  if (auto problem = CodeSign::sign(bundle, *key)) return fail(bundle.string() + ": " + *problem);
  const auto verdict = CodeSign::verify(bundle);
  if (const auto* invalid = std::get_if<CodeSign::Invalid>(&verdict)) {
    return fail(bundle.string() + ": " + invalid->why);
  }

  std::error_code error;
  fs::create_directories(out, error);
  if (error) return fail(out.string() + ": " + error.message());

  auto made = Platform::makePrivateFolder("quendrel-release-");
  if (!made) return fail("no temporary folder could be made");
  Scratch scratch(*made);
  const fs::path content = scratch.path() / "image";
  fs::create_directory(content, error);
  if (error) return fail(content.string() + ": " + error.message());
  fs::permissions(content, fs::perms(0755), error);
  // Whatever the bundle's folder is called, the image holds it under the current name.
  const fs::path copy = content / Settling::fileName;
  if (int copied = Platform::copyTree(bundle, copy)) {
    return fail(bundle.string() + " could not be copied: " + Platform::errorText(copied));
  }
  if (!CodeSign::intact(copy, bundle))
    return fail(bundle.string() + " changed while it was copied");

  const std::string name = "Quendrel-" + version + ".img";
  const fs::path unfinished = out / ("." + name + "." + Platform::uuid());
  if (auto problem = makeImage(content, unfinished)) {
    fs::remove(unfinished, error);
    return fail(*problem);
  }
  auto digest = Platform::sha256OfFile(unfinished);
  if (!digest) {
    fs::remove(unfinished, error);
    return fail(unfinished.string() + " could not be read back");
  }
  fs::rename(unfinished, out / name, error);
  if (error) {
    fs::remove(unfinished, error);
    return fail((out / name).string() + ": " + error.message());
  }

  const nlohmann::json feed = {{"version", version}, {"sha256", *digest}, {"file", name}};
  if (!Platform::writeAtomically(out / feedFile, feed.dump(2) + "\n", 0644)) {
    return fail((out / feedFile).string() + " could not be written");
  }
  std::cout << "Quendrel " << version << " published: " << (out / name).string() << ", sha256 "
            << *digest << ", team " << CodeSign::team(*CodeSign::publicKeyOf(*key)) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::string> bundle, key, out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--key" || args[i] == "--out") && i + 1 < args.size()) {
      (args[i] == "--key" ? key : out) = args[i + 1];
      ++i;
    } else if (!bundle && !args[i].starts_with("--")) {
      bundle = args[i];
    } else {
      bundle.reset();
      break;
    }
  }
  if (!bundle || !key || !out) {
    std::cerr << usage;
    return 2;
  }
  return release(*bundle, *key, *out);
}
