// Provisional: start-up and the file utilities are completed with the runtime.
#include "runtime/zv_process.h"

#include <cstdio>
#include <cstdlib>

[[noreturn]] void vZvExit(int status) {
  fprintf(stderr, "Process exit with vZVExit()\n");
  exit(status);
}
