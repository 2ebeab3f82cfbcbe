// Preloaded into every process of a suite run by tools/floor/suite_floor.py:
// logs, for the process's main thread, every sleep, every timed wait that
// ran out (nanosleep, clock_nanosleep, pthread_cond_timedwait,
// pthread_cond_clockwait, poll) and every timed condition wait of 1 ms or
// more that was woken before its time ("woken"), with its CLOCK_MONOTONIC start and end
// and the call site (object, offset) of the first frames outside libc,
// libstdc++ and googletest, into $WAITLOG_DIR/wait.<pid>.log; the file
// starts with the executable and the monotonic and real clocks read
// together ("CLOCK <monotonic ns> <real ns>").
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static FILE* out;
static __thread int inside;
static long long mono(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1000000000LL + t.tv_nsec; }
static long long real(void) { struct timespec t; clock_gettime(CLOCK_REALTIME, &t); return t.tv_sec * 1000000000LL + t.tv_nsec; }
static int main_thread(void) { return syscall(SYS_gettid) == getpid(); }
static void open_out(void) {
  if (out) return;
  const char* dir = getenv("WAITLOG_DIR");
  if (!dir) return;
  char p[512]; snprintf(p, sizeof p, "%s/wait.%d.log", dir, getpid());
  out = fopen(p, "a");
  if (out) { setvbuf(out, NULL, _IOLBF, 0); char exe[256] = {0}; readlink("/proc/self/exe", exe, sizeof exe - 1); fprintf(out, "EXE %s\nCLOCK %lld %lld\n", exe, mono(), real()); }
}
static void log_wait(const char* what, long long start, long long end, long long asked) {
  if (!main_thread() || inside) return;
  inside = 1;
  open_out();
  if (out) {
    void* bt[12]; int n = backtrace(bt, 12);
    fprintf(out, "W %s %lld %lld %lld", what, start, end, asked);
    int shown = 0;
    for (int i = 1; i < n && shown < 4; ++i) {
      Dl_info info;
      if (!dladdr(bt[i], &info) || !info.dli_fname) continue;
      const char* f = info.dli_fname;
      if (strstr(f, "libc.so") || strstr(f, "libstdc++") || strstr(f, "waitlog") || strstr(f, "libgtest")) continue;
      fprintf(out, " %s+0x%lx", f, (unsigned long)((char*)bt[i] - (char*)info.dli_fbase) - 1);
      ++shown;
    }
    fprintf(out, "\n");
  }
  inside = 0;
}
#define REAL(name) static __typeof__(name)* real_##name; if (!real_##name) real_##name = dlsym(RTLD_NEXT, #name)

int nanosleep(const struct timespec* req, struct timespec* rem) {
  REAL(nanosleep);
  long long s = mono(); int r = real_nanosleep(req, rem); long long e = mono();
  log_wait("sleep", s, e, req ? req->tv_sec * 1000000000LL + req->tv_nsec : 0);
  return r;
}
int clock_nanosleep(clockid_t c, int flags, const struct timespec* req, struct timespec* rem) {
  REAL(clock_nanosleep);
  long long s = mono(); int r = real_clock_nanosleep(c, flags, req, rem); long long e = mono();
  log_wait("sleep", s, e, flags ? -1 : req->tv_sec * 1000000000LL + req->tv_nsec);
  return r;
}
int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const struct timespec* t) {
  REAL(pthread_cond_timedwait);
  long long s = mono(); int r = real_pthread_cond_timedwait(c, m, t); long long e = mono();
  if (r == ETIMEDOUT || e - s >= 1000000) log_wait(r == ETIMEDOUT ? "cond" : "woken", s, e, -1);
  return r;
}
int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clk, const struct timespec* t) {
  REAL(pthread_cond_clockwait);
  long long s = mono(); int r = real_pthread_cond_clockwait(c, m, clk, t); long long e = mono();
  if (r == ETIMEDOUT || e - s >= 1000000) log_wait(r == ETIMEDOUT ? "cond" : "woken", s, e, -1);
  return r;
}
int poll(struct pollfd* f, nfds_t n, int timeout) {
  REAL(poll);
  long long s = mono(); int r = real_poll(f, n, timeout); long long e = mono();
  if (r == 0 && timeout > 0) log_wait("poll", s, e, timeout * 1000000LL);
  return r;
}
