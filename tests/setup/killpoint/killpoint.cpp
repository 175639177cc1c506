// A library preloaded into a program under test that kills it with SIGKILL right after its Nth
// change to the file system (a file created, a folder or link made, an item renamed or removed,
// an attribute cleared), so that a test can cut it short at an exact step without guessing.
//
//   KILLPOINT_UNDER=/tmp/x   only calls on absolute paths under this folder count
//   KILLPOINT_AT=N           kill after the Nth counted call (0 or unset: never)
//   KILLPOINT_LOG=file       append "N call path" for every counted call
//
// The variables and LD_PRELOAD are removed from the environment at once, so that the
// program's children run untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

// Plain arrays and numbers: they are set before any static constructor could run.
char under[4096];
size_t underLength = 0;
long killAt = 0;
int logFd = -1;
std::atomic<long> counted{0};

__attribute__((constructor)) void start() {
  // The log is opened before anything counts, so that opening it is not counted.
  if (const char* l = getenv("KILLPOINT_LOG"))
    logFd = open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (const char* u = getenv("KILLPOINT_UNDER"); u && strlen(u) < sizeof under)
    underLength = strlen(strcpy(under, u));
  if (const char* a = getenv("KILLPOINT_AT")) killAt = atol(a);
  for (const char* name : {"KILLPOINT_UNDER", "KILLPOINT_AT", "KILLPOINT_LOG", "LD_PRELOAD"})
    unsetenv(name);
}

// Calls the real function `name` (of the same type as `Self`) with `args`; when it succeeded
// on a path under the folder, counts it as `call` ("" for a call that changes nothing).
template <auto Self, typename... A>
int passOn(const char* name, const char* call, const char* path, A... args) {
  static auto real = reinterpret_cast<decltype(Self)>(dlsym(RTLD_NEXT, name));
  const int r = real(args...);
  if (!*call || !(strcmp(call, "open") == 0 ? r >= 0 : r == 0) || underLength == 0 || !path ||
      path[0] != '/' || strncmp(path, under, underLength) != 0)
    return r;
  const long n = ++counted;
  if (logFd >= 0) {
    const std::string line = std::to_string(n) + " " + call + " " + path + "\n";
    [[maybe_unused]] ssize_t ignored = write(logFd, line.data(), line.size());
  }
  if (killAt > 0 && n == killAt) raise(SIGKILL);
  return r;
}

// An open call: its mode argument is only there when a file may be created, and it counts
// only when it may create the file. `folder` is openat's.
template <auto Self, typename... F>
int openOn(const char* name, const char* path, int flags, va_list args, F... folder) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, int) : 0;
  return passOn<Self>(name, (flags & O_CREAT) ? "open" : "", path, folder..., path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int r = openOn<&open>("open", path, flags, args);
  va_end(args);
  return r;
}
int openat(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int r = openOn<&openat>("openat", path, flags, args, folder);
  va_end(args);
  return r;
}
// With 64-bit offsets the two are the same calls.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int folder, const char* path, int flags, ...) __attribute__((alias("openat")));
int mkdir(const char* path, mode_t mode) {
  return passOn<&mkdir>("mkdir", "mkdir", path, path, mode);
}
int symlink(const char* target, const char* path) {
  return passOn<&symlink>("symlink", "symlink", path, target, path);
}
int rename(const char* from, const char* to) {
  return passOn<&rename>("rename", "rename", to, from, to);
}
int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  return passOn<&renameat2>("renameat2", "renameat2", to, fromFolder, from, toFolder, to, flags);
}
int removexattr(const char* path, const char* name) {
  return passOn<&removexattr>("removexattr", "removexattr", path, path, name);
}
int lremovexattr(const char* path, const char* name) {
  return passOn<&lremovexattr>("lremovexattr", "removexattr", path, path, name);
}
int remove(const char* path) {
  return passOn<&remove>("remove", "remove", path, path);
}
int unlink(const char* path) {
  return passOn<&unlink>("unlink", "unlink", path, path);
}
int rmdir(const char* path) {
  return passOn<&rmdir>("rmdir", "rmdir", path, path);
}

}  // extern "C"
