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

#include <atomic>

namespace {

using ClockGetTime = int (*)(clockid_t, timespec*);
using Poll = int (*)(pollfd*, nfds_t, int);

// Plain values: they are set before any static constructor could run.
long factor = 1;
ClockGetTime next = nullptr;
Poll nextPoll = nullptr;
timespec origins[CLOCK_BOOTTIME + 1];  // per steady clock, the moment the signal came
std::atomic<bool> fast{false};

long long nanoseconds(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool steady(clockid_t id) {
  return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE ||
         id == CLOCK_BOOTTIME;
}

// clock_gettime is safe in a signal handler.
void speedUp(int) {
  if (fast || !next) return;
  for (clockid_t id = 0; id <= CLOCK_BOOTTIME; ++id) {
    if (steady(id)) next(id, &origins[id]);
  }
  fast = true;
}

__attribute__((constructor)) void start() {
  next = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
  nextPoll = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
  if (const char* f = getenv("FASTCLOCK_FACTOR")) factor = atol(f);
  struct sigaction action = {};
  action.sa_handler = speedUp;
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
  unsetenv("FASTCLOCK_FACTOR");
  unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* now) {
  if (!next) next = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = next(id, now);
  if (r != 0 || !fast || factor <= 1 || !steady(id)) return r;
  const long long origin = nanoseconds(origins[id]);
  const long long faster = origin + (nanoseconds(*now) - origin) * factor;
  now->tv_sec = static_cast<time_t>(faster / 1000000000LL);
  now->tv_nsec = static_cast<long>(faster % 1000000000LL);
  return r;
}

// A wait with a time-out is made in slices, each measured on the clock above, so that it ends
// when that clock says its time is up.
extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
  if (!nextPoll) nextPoll = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
  if (factor <= 1 || timeout <= 0) return nextPoll(fds, count, timeout);
  constexpr long long slice = 50;  // milliseconds
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long deadline = nanoseconds(now) / 1000000 + timeout;
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = deadline - nanoseconds(now) / 1000000;
    if (left <= 0) return 0;
    const long long real = fast ? left / factor + 1 : left;
    const int r = nextPoll(fds, count, static_cast<int>(real < slice ? real : slice));
    if (r != 0) return r;
  }
}
