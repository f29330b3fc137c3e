// Services of the libraries above the runtime that start-up, the configuration walk,
// the record dump and the stop status of the transaction logger call: the local
// identities and the trading-partner file (partners/), the object identifiers (codec/)
// and the transaction send (transport/).
//
// The runtime sits at the bottom of the dependency order, so it reaches these through
// one table of function pointers. Each library above fills in its own entries with its
// zv_register_*_services() function; a program calls them all before init_zv_process
// (zv_register_all_services() in transport/ does it in one call). An entry left empty
// makes its caller report the service as unavailable.
//
// Filled on the main thread before start-up; read-only afterwards.
#ifndef ZV_RUNTIME_ZV_SERVICES_H
#define ZV_RUNTIME_ZV_SERVICES_H

#include <openssl/conf.h>
#include <openssl/types.h>

#include "runtime/zv_common.h"

struct zv_services_t {
  // Local-certificate table.
  int (*init_lcert_table)();
  int (*load_lcert_table)(CONF *conf, const char *section, const char *default_socaddr,
                          int slot);
  int (*get_lcert_entry)(int slot, int *version, X509 **cert, EVP_PKEY **key,
                         char socaddr[64], int *pacing_delay);
  // Trading-partner file.
  int (*read_TPfile)(const char *file);
  // The system's object identifiers.
  int (*load_zvObjectIdentifiers)();
  // Certificate printout into the log.
  int (*dump_X509)(X509 *cert);
  // One transaction to another process of the installation.
  int (*send_transport_msg)(Trans_ctl_rec *tctlp, st_socaddr_t *trans_socaddr);
};

extern zv_services_t zv_services;

#endif
