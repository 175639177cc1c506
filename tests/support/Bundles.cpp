#include "support/Bundles.h"

#include <stdexcept>
#include <variant>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "signing/CodeSign.h"
#include "support/Child.h"
#include "support/Home.h"

namespace fs = std::filesystem;

namespace testing_support {

Key makeKey(const fs::path& file) {
  if (CodeSign::makeKey(file)) throw std::runtime_error("no key");
  return {file, *CodeSign::readKey(file)};
}

void makeApp(const fs::path& location, const std::string& version, const Key* key,
             const std::string& service) {
  makeBundle(location, "com.quendrel.manager", version, "1", service, "Quendrel");
  write(location / "Contents/MacOS/Quendrel",
        "#!/bin/bash\necho \"" + version + "\" >> \"$HOME/started\"\n" + std::string(saysUp), 0755);
  write(location / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0750);
  write(location / "Contents/Resources/payload/presets/README", "Presets live here.\n", 0640);
  write(location / "Contents/Resources/payload/engine/desk.py", "print('the desk')\n");
  fs::create_symlink("payload/setup.sh", location / "Contents/Resources/setup");
  if (key) {
    if (auto problem = CodeSign::sign(location, key->secret)) throw std::runtime_error(*problem);
  }
}

Release makeRelease(const fs::path& home) {
  Release release{makeKey(home / "release.key"), "", ""};
  makeApp(home / "image/Quendrel.app", "2.0", &release.key);
  const fs::path file = home / "Quendrel-2.0.img";
  Ran made = run("/usr/bin/mksquashfs",
                 {(home / "image").string(), file.string(), "-noappend", "-quiet", "-no-progress"});
  if (made.status != 0) throw std::runtime_error(made.out + made.err);
  release.image = read(file);
  release.feed = "{\"version\": \"2.0\", \"sha256\": \"" + Platform::sha256Hex(release.image) +
                 "\", \"file\": \"Quendrel-2.0.img\"}";
  fs::remove_all(home / "image");
  fs::remove(file);
  return release;
}

bool whole(const fs::path& bundle, const std::string& version, const Key& key) {
  auto verdict = CodeSign::verify(bundle);
  auto* signer = std::get_if<CodeSign::Signer>(&verdict);
  if (!signer || signer->publicKey != CodeSign::publicKeyOf(key.secret)) return false;
  return read(bundle / "Contents/MacOS/Quendrel").find("\"" + version + "\"") != std::string::npos;
}

std::string starts() {
  return read(Platform::home() / "started");
}

bool startsUp(const fs::path& bundle) {
  const std::string before = starts();
  Ran ran = run(bundle / "Contents/MacOS/Quendrel", {});
  return ran.status == 0 && starts().size() > before.size();
}

fs::path withCtl(const fs::path& app, const std::string& service) {
  makeBundle(app, "com.quendrel.manager", "1.0", "1", service);
  const fs::path ctl = app / "Contents/MacOS/quendrelctl";
  fs::copy_file(QUENDRELCTL, ctl, fs::copy_options::overwrite_existing);
  return ctl;
}

}  // namespace testing_support
