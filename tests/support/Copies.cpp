#include "support/Copies.h"

#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "support/Home.h"

using testing_support::read;
using testing_support::write;

extern char** environ;

namespace placement_testing {

void makeApp(const fs::path& location, const App& app, const Key* key) {
  testing_support::makeBundle(location, app.identifier, app.version, app.build, app.service,
                              app.executable);
  write(programOf(location, app.executable), app.script.empty() ? read(app.program) : app.script,
        0755);
  write(location / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0750);
  const fs::path readme =
      write(location / "Contents/Resources/payload/presets/README", "Presets live here.\n", 0640);
  std::error_code error;
  fs::create_symlink("payload/setup.sh", location / "Contents/Resources/setup", error);
  lsetxattr(readme.c_str(), "user.quendrel.note", "kept", 4, 0);
  // Whole seconds, which is what a disk image keeps.
  fs::last_write_time(readme, std::chrono::floor<std::chrono::seconds>(
                                  fs::file_time_type::clock::now() - std::chrono::hours(720)));
  if (key) sign(location, *key);
}

Running::Running(const fs::path& program, const std::vector<std::string>& args) {
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv{nullptr};
  for (auto& w : words) argv.insert(argv.end() - 1, w.data());
  if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("could not start " + program.string());
}

Running::~Running() {
  if (!ended()) kill(pid_, SIGKILL);
  if (!ended()) waitpid(pid_, nullptr, 0);
}

bool Running::ended() {
  int status = 0;
  if (status_ < 0 && waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_ >= 0;
}

bool Running::ignoresTerminate() {
  for (int i = 0; i < 500; ++i) {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("SigIgn:") &&
          (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1)
        return true;
    }
    usleep(10000);
  }
  return false;
}

bool asNobody(const fs::path& home, const std::function<bool()>& work) {
  // The temporary folders above the home are private to root: let others pass through.
  for (fs::path p = home; p != p.root_path() && p.filename() != "tmp"; p = p.parent_path())
    fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  const pid_t child = fork();
  if (child == 0)
    _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && work() ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void giveToNobody(const fs::path& tree) {
  lchown(tree.c_str(), 65534, 65534);
  for (const auto& item : fs::recursive_directory_iterator(tree))
    lchown(item.path().c_str(), 65534, 65534);
}

}  // namespace placement_testing
