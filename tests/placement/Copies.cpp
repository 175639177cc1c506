#include "placement/Copies.h"

#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <variant>

#include "platform/Process.h"
#include "signing/CodeSign.h"
#include "support/Home.h"

namespace fs = std::filesystem;
using testing_support::write;

extern char** environ;

namespace placement_testing {

Key makeKey(const fs::path& folder, const std::string& name) {
  Key key;
  key.file = folder / name;
  if (CodeSign::makeKey(key.file)) throw std::runtime_error("no key");
  key.secret = *CodeSign::readKey(key.file);
  key.team = CodeSign::team(*CodeSign::publicKeyOf(key.secret));
  return key;
}

void makeApp(const fs::path& location, const App& app, const Key* key) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<plist version=\"1.0\">\n<dict>\n"
      "  <key>CFBundleIdentifier</key>\n  <string>" +
      app.identifier +
      "</string>\n"
      "  <key>CFBundleShortVersionString</key>\n  <string>" +
      app.version +
      "</string>\n"
      "  <key>CFBundleVersion</key>\n  <string>" +
      app.build +
      "</string>\n"
      "  <key>CFBundleExecutable</key>\n  <string>" +
      app.executable +
      "</string>\n"
      "</dict>\n</plist>\n";
  write(location / "Contents/Info.plist", plist);
  fs::create_directories(location / "Contents/MacOS");
  fs::copy_file(app.program, location / "Contents/MacOS" / app.executable,
                fs::copy_options::overwrite_existing);
  fs::permissions(location / "Contents/MacOS" / app.executable, static_cast<fs::perms>(0755));
  write(location / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0755);
  write(location / "Contents/Resources/payload/presets/README", "Presets live here.\n");
  std::error_code error;
  fs::create_symlink("payload/setup.sh", location / "Contents/Resources/setup", error);
  if (key) sign(location, *key);
}

void sign(const fs::path& bundle, const Key& key) {
  if (auto problem = CodeSign::sign(bundle, key.secret)) throw std::runtime_error(*problem);
}

bool valid(const fs::path& bundle) {
  return std::holds_alternative<CodeSign::Signer>(CodeSign::verify(bundle));
}

Running::Running(const fs::path& bundle, const std::vector<std::string>& args,
                 const std::string& executable) {
  const std::string program = (bundle / "Contents/MacOS" / executable).string();
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("could not start " + program);
  }
}

Running::~Running() {
  if (!ended()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Running::ended() {
  if (reaped_) return true;
  reaped_ = waitpid(pid_, nullptr, WNOHANG) == pid_;
  return reaped_;
}

bool Running::ignoresTerminate() {
  for (int i = 0; i < 500; ++i) {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigIgn:", 0) != 0) continue;
      if (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1))) return true;
    }
    usleep(10000);
  }
  return false;
}

std::vector<std::string> politeArguments() {
  return {"1000"};
}

std::vector<std::string> stubbornArguments() {
  return {"-c", "trap '' TERM; while :; do sleep 0.2; done"};
}

bool makeImage(const fs::path& folder, const fs::path& image) {
  auto ran =
      Platform::run({"/usr/bin/mksquashfs",
                     {folder.string(), image.string(), "-quiet", "-no-progress", "-noappend"},
                     ""},
                    Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  return exited && exited->status == 0;
}

bool asNobody(const fs::path& home, const std::function<bool()>& work) {
  // The temporary folders above the home are private to root: let others pass through.
  for (fs::path p = home; p != p.root_path() && p.filename() != "tmp"; p = p.parent_path()) {
    fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  }
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    bool done = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && work();
    _exit(done ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void giveToNobody(const fs::path& tree) {
  lchown(tree.c_str(), 65534, 65534);
  std::error_code error;
  for (fs::recursive_directory_iterator it(tree, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    lchown(it->path().c_str(), 65534, 65534);
  }
}

}  // namespace placement_testing
