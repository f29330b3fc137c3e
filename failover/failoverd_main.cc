// failoverd: the failover program.
#include <cstdlib>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "transport/zv_transport_services.h"

int main(int argc, char **argv) {
  zv_register_all_services();
  if (init_zv_process(argc, argv) != 0) exit(-1);

  // Until the failover store and its state machine exist, the process only waits for
  // its stop request; each pass also carries out a reopen that SIGUSR1 asked for.
  while (!zv_shutdown) {
    zv_log(1, "%s: waiting for shutdown\n", program);
    millisleep(1000);
  }
  vZvExit(0);
}
