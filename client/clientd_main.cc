// clientd: the client and receipt-client program. The role comes from the program name
// (a name beginning with r runs the receipt client).
#include "client/zv_clientd.h"

int main(int argc, char **argv) { return clientd_main(argc, argv); }
