// A library preloaded into a process under test that kills that process with SIGKILL right
// after its Nth change to the file system, so that a test can cut a setup run short at an
// exact step (a marker written, a folder made, a file created but not yet filled, an item
// moved or removed) without sleeping or guessing.
//
//   KILLPOINT_UNDER=/tmp/x   only calls on absolute paths under this folder count
//   KILLPOINT_AT=N           kill after the Nth counted call (0 or unset: never)
//   KILLPOINT_LOG=file       append "N call path" for every counted call
//
// The variables and LD_PRELOAD are removed from the environment at once, so that the
// process's children run untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
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
  if (const char* l = getenv("KILLPOINT_LOG")) {
    logFd = open(l, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  if (const char* u = getenv("KILLPOINT_UNDER"); u && strlen(u) < sizeof under) {
    strcpy(under, u);
    underLength = strlen(u);
  }
  if (const char* a = getenv("KILLPOINT_AT")) killAt = atol(a);
  unsetenv("KILLPOINT_UNDER");
  unsetenv("KILLPOINT_AT");
  unsetenv("KILLPOINT_LOG");
  unsetenv("LD_PRELOAD");
}

bool counts(const char* path) {
  return underLength > 0 && path && path[0] == '/' && strncmp(path, under, underLength) == 0;
}

// Called after the real call has been made.
void after(const char* call, const char* path) {
  if (!counts(path)) return;
  long n = ++counted;
  if (logFd >= 0) {
    std::string line = std::to_string(n) + " " + call + " " + path + "\n";
    ssize_t ignored = write(logFd, line.data(), line.size());
    (void)ignored;
  }
  if (killAt > 0 && n == killAt) raise(SIGKILL);
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

mode_t modeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto next = real<int (*)(const char*, int, ...)>("open");
  int fd = next(path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT)) after("open", path);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto next = real<int (*)(const char*, int, ...)>("open64");
  int fd = next(path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT)) after("open", path);
  return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto next = real<int (*)(int, const char*, int, ...)>("openat");
  int fd = next(dirfd, path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT)) after("open", path);
  return fd;
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeOf(flags, args);
  va_end(args);
  static auto next = real<int (*)(int, const char*, int, ...)>("openat64");
  int fd = next(dirfd, path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT)) after("open", path);
  return fd;
}

int mkdir(const char* path, mode_t mode) {
  static auto next = real<int (*)(const char*, mode_t)>("mkdir");
  int r = next(path, mode);
  if (r == 0) after("mkdir", path);
  return r;
}

int symlink(const char* target, const char* path) {
  static auto next = real<int (*)(const char*, const char*)>("symlink");
  int r = next(target, path);
  if (r == 0) after("symlink", path);
  return r;
}

int rename(const char* from, const char* to) {
  static auto next = real<int (*)(const char*, const char*)>("rename");
  int r = next(from, to);
  if (r == 0) after("rename", to);
  return r;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  static auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  int r = next(fromDir, from, toDir, to, flags);
  if (r == 0) after("renameat2", to);
  return r;
}

int removexattr(const char* path, const char* name) {
  static auto next = real<int (*)(const char*, const char*)>("removexattr");
  int r = next(path, name);
  if (r == 0) after("removexattr", path);
  return r;
}

int lremovexattr(const char* path, const char* name) {
  static auto next = real<int (*)(const char*, const char*)>("lremovexattr");
  int r = next(path, name);
  if (r == 0) after("removexattr", path);
  return r;
}

int remove(const char* path) {
  static auto next = real<int (*)(const char*)>("remove");
  int r = next(path);
  if (r == 0) after("remove", path);
  return r;
}

int unlink(const char* path) {
  static auto next = real<int (*)(const char*)>("unlink");
  int r = next(path);
  if (r == 0) after("unlink", path);
  return r;
}

int rmdir(const char* path) {
  static auto next = real<int (*)(const char*)>("rmdir");
  int r = next(path);
  if (r == 0) after("rmdir", path);
  return r;
}

}  // extern "C"
