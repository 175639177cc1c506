#include "Faults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <variant>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Mounts.h"
#include "signing/CodeSign.h"
#include "support/Home.h"

extern char** environ;

namespace faults_testing {

using testing_support::read;
using testing_support::write;

bool inSandbox = false;

namespace {

const std::string originalTemporary = [] {
  const char* t = std::getenv("TMPDIR");
  return std::string(t ? t : "");
}();

}  // namespace

OriginalTemporary::OriginalTemporary() {
  if (originalTemporary.empty()) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", originalTemporary.c_str(), 1);
  }
}

Key makeKey(const fs::path& file) {
  if (CodeSign::makeKey(file)) throw std::runtime_error("no key");
  return {file, *CodeSign::readKey(file)};
}

void makeApp(const fs::path& location, const std::string& version, const Key* key,
             const std::string& service) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "  <key>CFBundleIdentifier</key>\n  <string>com.quendrel.manager</string>\n"
      "  <key>CFBundleShortVersionString</key>\n  <string>" +
      version +
      "</string>\n"
      "  <key>CFBundleVersion</key>\n  <string>1</string>\n"
      "  <key>CFBundleExecutable</key>\n  <string>Quendrel</string>\n";
  if (!service.empty()) {
    plist += "  <key>QuendrelService</key>\n  <string>" + service + "</string>\n";
  }
  write(location / "Contents/Info.plist", plist + "</dict>\n</plist>\n");
  write(location / "Contents/MacOS/Quendrel",
        "#!/bin/bash\necho \"" + version + "\" >> \"$HOME/started\"\n", 0755);
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

namespace {

void readSome(int fd, std::string& into, bool& open) {
  char buffer[65536];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

Child::Child(const fs::path& program, const std::vector<std::string>& args,
             const Environment& environment, Input input) {
  // Everything the child needs is made before the fork.
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : environment) replaced |= entry.rfind(name + "=", 0) == 0;
    if (!replaced) variables.push_back(entry);
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);

  int out[2], err[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
    throw std::runtime_error("no pipes");
  }
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(input == Input::quiet ? in[0] : nothing, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (int fd : {out[1], err[1], in[0], nothing}) close(fd);
  out_ = out[0];
  err_ = err[0];
  in_ = in[1];
}

Child::~Child() {
  if (!waited_) wait(0);
}

Ran Child::wait(double guard) {
  waited_ = true;
  Ran ran;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(guard);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) > 0) {
      if (fds[0].revents) readSome(out_, ran.out, outOpen);
      if (fds[1].revents) readSome(err_, ran.err, errOpen);
    }
    if (!ran.hung && std::chrono::steady_clock::now() > deadline) {
      ran.hung = true;
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  for (int fd : {out_, err_, in_}) close(fd);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

Ran run(const fs::path& program, const std::vector<std::string>& args,
        const Environment& environment, Input input, double guard) {
  return Child(program, args, environment, input).wait(guard);
}

fs::path driver() {
  return fs::read_symlink("/proc/self/exe");
}

Ran drive(const std::vector<std::string>& args, const Environment& environment) {
  std::vector<std::string> all{"--drive"};
  all.insert(all.end(), args.begin(), args.end());
  return run(driver(), all, environment);
}

Environment killpoint(const fs::path& under, long at, const fs::path& log) {
  Environment environment{
      {"LD_PRELOAD", KILLPOINT}, {"KILLPOINT_UNDER", under}, {"KILLPOINT_AT", std::to_string(at)}};
  if (!log.empty()) environment.emplace_back("KILLPOINT_LOG", log);
  return environment;
}

std::vector<std::string> steps(const fs::path& log, const fs::path& root) {
  std::vector<std::string> lines;
  const std::string all = read(log);
  const std::string prefix = root.string() + "/";
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    std::string line = all.substr(start, end - start);
    line = line.substr(line.find(' ') + 1);  // the counter goes
    if (auto at = line.find(prefix); at != std::string::npos) line.erase(at, prefix.size());
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<long> chosen(const std::vector<std::string>& steps, std::size_t every) {
  std::vector<long> points;
  std::size_t made = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool copying = steps[i].rfind("open ", 0) == 0 || steps[i].rfind("mkdir ", 0) == 0 ||
                         steps[i].rfind("symlink ", 0) == 0;
    if (!copying || made++ % every == every - 1) points.push_back(static_cast<long>(i + 1));
  }
  return points;
}

Environment fastClock(long factor) {
  return {{"LD_PRELOAD", FASTCLOCK}, {"FASTCLOCK_FACTOR", std::to_string(factor)}};
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool mountedBelow(const fs::path& folder) {
  std::error_code error;
  const std::string inside = fs::weakly_canonical(folder, error).string();
  for (const auto& mount : Platform::mounts()) {
    const std::string point = mount.mountPoint.string();
    if (point == inside || point.rfind(inside + "/", 0) == 0) return true;
  }
  return false;
}

std::vector<std::string> snapshot(const fs::path& folder, const fs::path& leaveOut) {
  std::vector<std::string> items;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!leaveOut.empty() && it->path() == leaveOut) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat s;
    if (lstat(it->path().c_str(), &s) != 0) continue;
    const bool file = S_ISREG(s.st_mode);
    items.push_back(it->path().string() + " " + std::to_string(s.st_mode) + " " +
                    std::to_string(file ? s.st_size : 0));
  }
  std::sort(items.begin(), items.end());
  return items;
}

int failures() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

void report(const std::string& what, int tried, int held, const std::string& how) {
  std::cout << "[ faults   ] " << what << ": " << tried << " tried, " << held << " " << how
            << std::endl;
}

}  // namespace faults_testing
