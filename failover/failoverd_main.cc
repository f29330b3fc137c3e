// failoverd: the failover program.
#include "transport/zv_transport_services.h"

int main() {
  zv_register_all_services();
  return 0;
}
