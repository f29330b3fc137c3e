// Preloaded into a program under test (LD_PRELOAD): its monotonic clock runs kScale times
// faster while the program sleeps on it, so that failoverd's pauses (one second between
// replays, 90 and 120 s between looks at the store, 6 s at stop) pass in a moment while
// each still runs to its end on that clock, as the program sees it. Waits on other clocks
// or on descriptors (poll timeouts) are not touched; the clock never goes back.
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

constexpr int64_t kScale = 10000;
constexpr int64_t kNs = 1000000000;

using GetTime = int (*)(clockid_t, struct timespec *);
using Sleep = int (*)(clockid_t, int, const struct timespec *, struct timespec *);

// Nanoseconds the monotonic clock is ahead of the real one.
std::atomic<int64_t> ahead{0};

GetTime real_gettime() {
  static GetTime f = reinterpret_cast<GetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
  return f;
}

Sleep real_sleep() {
  static Sleep f = reinterpret_cast<Sleep>(dlsym(RTLD_NEXT, "clock_nanosleep"));
  return f;
}

int64_t ns_of(const struct timespec &t) { return static_cast<int64_t>(t.tv_sec) * kNs + t.tv_nsec; }

struct timespec spec_of(int64_t ns) {
  struct timespec t;
  t.tv_sec = static_cast<time_t>(ns / kNs);
  t.tv_nsec = static_cast<long>(ns % kNs);
  return t;
}

int64_t real_monotonic() {
  struct timespec t;
  real_gettime()(CLOCK_MONOTONIC, &t);
  return ns_of(t);
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec *tp) {
  GetTime f = real_gettime();
  if (f == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int rc = f(clock, tp);
  if (rc == 0 && clock == CLOCK_MONOTONIC) *tp = spec_of(ns_of(*tp) + ahead.load());
  return rc;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request,
                               struct timespec *remain) {
  Sleep f = real_sleep();
  if (f == nullptr) return ENOSYS;
  if (clock != CLOCK_MONOTONIC || request == nullptr) return f(clock, flags, request, remain);
  int64_t start = real_monotonic();
  int64_t want = (flags & TIMER_ABSTIME) != 0 ? ns_of(*request) - (start + ahead.load())
                                              : ns_of(*request);
  if (want <= 0) return 0;
  struct timespec shortened = spec_of(want / kScale);
  int rc = f(CLOCK_MONOTONIC, 0, &shortened, nullptr);
  int64_t slept = real_monotonic() - start;
  // The clock moves on by what the program asked for, or in proportion when a signal
  // ended the sleep early.
  ahead += rc == 0 ? (want > slept ? want - slept : 0) : slept * (kScale - 1);
  if (rc == EINTR && remain != nullptr && (flags & TIMER_ABSTIME) == 0)
    *remain = spec_of(want - slept * kScale > 0 ? want - slept * kScale : 0);
  return rc;
}
