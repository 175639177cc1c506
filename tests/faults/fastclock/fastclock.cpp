// A library preloaded into a program under test that makes its steady clocks run faster from
// the moment the program receives SIGUSR1, so that a test can watch a long time-out (five
// minutes of a download that never ends) run out in a second or two, through the program's
// own time-out and nothing else. The test sends the signal once the request it means to time
// out has begun, so that everything before it runs at the usual pace. Waits in poll() keep
// to the same clock: one begun before the signal notices it within a twentieth of a second.
//
//   FASTCLOCK_FACTOR=N   after SIGUSR1 the steady clocks run N times as fast; the wall clock
//                        is left alone
//
// The variable and LD_PRELOAD are removed from the environment at once, so that the
// program's children run at the usual pace.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>

namespace {

// Plain values: they are set before any static constructor could run.
long factor = 1;
int (*next)(clockid_t, timespec*) = nullptr;
int (*nextPoll)(pollfd*, nfds_t, int) = nullptr;
timespec origins[CLOCK_BOOTTIME + 1];  // per clock, the moment the signal came
std::atomic<bool> fast{false};

// The function this library stands in front of, looked up when first needed.
template <typename Function>
Function real(Function& function, const char* name) {
  if (!function) function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  return function;
}

long long nanoseconds(const timespec& t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

bool steady(clockid_t id) {
  return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE ||
         id == CLOCK_BOOTTIME;
}

// clock_gettime is safe in a signal handler; `next` is known before the handler is set.
void speedUp(int) {
  for (clockid_t id = 0; !fast && id <= CLOCK_BOOTTIME; ++id) next(id, &origins[id]);
  fast = true;
}

__attribute__((constructor)) void start() {
  real(next, "clock_gettime");
  if (const char* f = getenv("FASTCLOCK_FACTOR")) factor = atol(f);
  signal(SIGUSR1, speedUp);  // glibc's signal() keeps the handler and restarts system calls
  unsetenv("FASTCLOCK_FACTOR");
  unsetenv("LD_PRELOAD");
}

long long nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now) / 1000000;
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* now) {
  const int r = real(next, "clock_gettime")(id, now);
  if (r != 0 || !fast || factor <= 1 || !steady(id)) return r;
  const long long origin = nanoseconds(origins[id]);
  const long long faster = origin + (nanoseconds(*now) - origin) * factor;
  *now = {static_cast<time_t>(faster / 1000000000LL), static_cast<long>(faster % 1000000000LL)};
  return r;
}

// A wait with a time-out is made in slices of at most 50 ms, each measured on the clock above,
// so that it ends when that clock says its time is up.
extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
  if (factor <= 1 || timeout <= 0) return real(nextPoll, "poll")(fds, count, timeout);
  const long long deadline = nowMilliseconds() + timeout;
  for (long long left; (left = deadline - nowMilliseconds()) > 0;) {
    const long long slice = std::min(fast ? left / factor + 1 : left, 50LL);
    if (const int r = real(nextPoll, "poll")(fds, count, static_cast<int>(slice))) return r;
  }
  return 0;
}
