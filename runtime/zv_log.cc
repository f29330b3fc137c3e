// Provisional logger: level routing and prefix only. Completed with the runtime.
#include "runtime/zv_log.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "runtime/zv_globals.h"

FILE *logfile;
FILE *errlogfile;
FILE *alertfile;

int zv_logme2(char *buffer) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  localtime_r(&tv.tv_sec, &tmv);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%d %H%M%S", &tmv);
  return snprintf(buffer, ZV_LOG_LINE_SIZE, "%s.%03d:%s(%05d:%02u):", stamp,
                  static_cast<int>(tv.tv_usec / 1000), program, mypid, zv_get_thread());
}

namespace {

bool debug_bit(int level) {
  switch (level) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128:
    case 512: case 1024: case 2048:
      return (debug_level & level) != 0;
    default:
      return false;
  }
}

void write_line(FILE *stream, const char *format, va_list ap, bool flush) {
  char line[ZV_LOG_LINE_SIZE];
  int n = zv_logme2(line);
  int m = vsnprintf(line + n, sizeof line - n, format, ap);
  if (m < 0) {
    fprintf(stderr, "ERROR: logging, vsprintf error, ret = %d.\n", m);
    return;
  }
  size_t len = strnlen(line, sizeof line - 1);
  fwrite(line, 1, len, stream);
  if (flush) fflush(stream);
}

}  // namespace

void zv_log(int level, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  if (level == -5 || level == -1 || debug_bit(level)) {
    write_line(stderr, format, ap, false);
  } else if (level == -4 || level == 0) {
    write_line(stdout, format, ap, true);
  } else if (level == -3) {
    vfprintf(stdout, format, ap);
    fflush(stdout);
  } else if (level == -2) {
    va_list ap2;
    va_copy(ap2, ap);
    if (verbose_flag) write_line(stdout, format, ap, true);
    if (debug_level & 1) write_line(stderr, format, ap2, false);
    va_end(ap2);
  }
  va_end(ap);
}

void zv_log_lock() {}
void zv_log_unlock() {}

unsigned zv_get_thread() { return 0; }
