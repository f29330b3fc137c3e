// failoverd: the failover program. Its logic lives in the library (zv_failover.h).
#include "failover/zv_failover.h"

int main(int argc, char **argv) { return failoverd_main(argc, argv); }
