// clientd: the client and receipt-client program. The role comes from the program name
// (a name beginning with r runs the receipt client).
#include <cstdlib>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "transport/zv_transport_services.h"

int main(int argc, char **argv) {
  zv_register_all_services();
  if (init_zv_process(argc, argv) != 0) exit(-1);
  int rc = THREAD_setup();
  if (rc != 0) vZvExit(rc);

  // Until the input interfaces and the receipt listener exist, the process only waits
  // for its stop request; each pass also carries out a reopen that SIGUSR1 asked for.
  while (!zv_shutdown) {
    zv_log(1, "%s: waiting for shutdown\n", program);
    millisleep(1000);
  }
  vZvExit(0);
}
