#include "client/zv_client_start.h"

#include <cctype>
#include <cstring>
#include <string>

#include "partners/zv_address.h"
#include "partners/zv_lcert.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_common.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"

namespace {

// An address setting the role uses: refused with where it was written when the reader
// (`read`) finds no address in it.
template <typename Read>
bool usable_setting(const char *option, const char *value, Read read) {
  std::string why;
  if (read(value, &why)) return true;
  zv_log(-1, "ERROR: Value (%s) of %s cannot be used: %s - cannot start\n", value,
         zv_option_origin(option).c_str(), why.c_str());
  return false;
}

bool receipt_socket_usable() {
  return usable_setting("receipt_socket", zv_receipt_socaddr,
                        [](const char *v, std::string *why) {
                          return zv_read_socaddr(v, nullptr, nullptr, why);
                        });
}

bool socket_port_usable() {
  char letter = static_cast<char>(toupper(static_cast<unsigned char>(zv_interface[0])));
  if (letter != 'R' && letter != 'S' && letter != 'X') return true;
  return usable_setting("insocket", zv_socaddr2, [](const char *v, std::string *why) {
    int port;
    return zv_read_port(v, &port, why);
  });
}

// A partner setting its identity's version cannot carry refuses every document (or
// request) of that partner with a fatal code: said here instead, before anything is taken.
bool partners_servable() {
  bool ok = true;
  // Ready packets and raw mode are sent as they are; no envelope is built.
  const bool builds = zv_packet_mode_flag != 1 && rawMessage_flag == 0;
  for (int i = 0; i < ZV_MAX_TP && partner[i].isaid[0] != '\0'; ++i) {
    const Tpartner_rec &p = partner[i];
    const char *identity = endpoint_identity(i);
    int version = 0;
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    char socaddr[64];
    int pacing = 0;
    if (p.lcert_index < 0 ||
        get_lcert_entry(p.lcert_index, &version, &cert, &key, socaddr, &pacing) != 0) {
      zv_log(-1,
             "ERROR: Endpoint [%s] of the Trading Partner configuration file (%s) is served by "
             "zvp_name (%s), which names no ZVP_PROCESS section of the configuration file "
             "(%s) - cannot start\n",
             p.isaid, tpartnerFileName, identity != nullptr ? identity : "", configFileName);
      ok = false;
      continue;
    }
    if (!builds || version != 3) continue;
    const struct {
      bool refused;
      const char *key;
      const char *value;
    } settings[] = {
        {p.svrZvMessageType == INTEGRITY_EDI, "zv_message_to_tp", "INTEGRITY_EDI"},
        {p.cliZvReceiptType == INTEGRITY_RECEIPT, "zv_receipt_to_tp", "INTEGRITY_RECEIPT"},
    };
    for (const auto &s : settings) {
      if (!s.refused) continue;
      zv_log(-1,
             "ERROR: Value (%s) of %s for endpoint [%s] in the Trading Partner configuration "
             "file (%s) cannot be used: its local identity [%s] speaks protocol version 3, "
             "which has no such envelope - cannot start\n",
             s.value, s.key, p.isaid, tpartnerFileName, identity != nullptr ? identity : "");
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int zv_refuse_at_start() {
  bool ok = zv_process_id == ZV_RECEIPT_PROCESS ? receipt_socket_usable() : socket_port_usable();
  // Every partner is looked at, so that one start names every fault.
  ok = partners_servable() && ok;
  return ok ? 0 : -1;
}
