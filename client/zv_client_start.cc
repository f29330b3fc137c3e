#include "client/zv_client_start.h"

#include <openssl/conf.h>
#include <openssl/err.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "partners/zv_address.h"
#include "partners/zv_lcert.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_common.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"

namespace {

struct ConfFree {
  void operator()(CONF *c) const { NCONF_free(c); }
};
using ConfPtr = std::unique_ptr<CONF, ConfFree>;

// A key's value in a section, the [default] section standing in, as start-up reads it;
// nullptr when neither has it.
const char *value_of(CONF *conf, const char *section, const char *key) {
  ERR_set_mark();
  const char *v = NCONF_get_string(conf, section, key);
  ERR_pop_to_mark();
  return v != nullptr && *v != '\0' ? v : nullptr;
}

// The section that holds the key itself: `section`, or [default] standing in for it.
std::string holder_of(CONF *conf, const char *section, const char *key) {
  STACK_OF(CONF_VALUE) *values = NCONF_get_section(conf, section);
  for (int i = 0; values != nullptr && i < sk_CONF_VALUE_num(values); ++i)
    if (strcmp(sk_CONF_VALUE_value(values, i)->name, key) == 0) return section;
  return "default";
}

std::vector<std::string> names_of(const char *list) {
  std::vector<std::string> names;
  std::string name;
  for (const char *p = list; ; ++p) {
    if (*p == '\0' || *p == ',' || isspace(static_cast<unsigned char>(*p))) {
      if (!name.empty()) names.push_back(name);
      name.clear();
      if (*p == '\0') break;
    } else {
      name.push_back(*p);
    }
  }
  return names;
}

// Where the value of the option `option` that the process uses was written, for a
// message: the command line, or a key of a section of the configuration file. A value
// from a process section is found as start-up found it: the walk over process_names,
// in which the process's own section sets the option and, for the receipt socket, every
// RECEIPT_PROCESS section's transport_listen_port sets it too, the last one standing.
std::string origin_of(const char *option) {
  const zv_command_switch *r = find_cs_entry(option);
  const std::string file = "the configuration file (" + std::string(configFileName) + ")";
  if (r == nullptr || r->csrc == CFG_CFILE) {
    ConfPtr conf(NCONF_new(nullptr));
    long eline = 0;
    if (conf && NCONF_load(conf.get(), configFileName, &eline) > 0) {
      std::string at;
      const char *list = value_of(conf.get(), "default", "process_names");
      bool receipt = strcmp(option, "receipt_socket") == 0;
      for (const std::string &name : names_of(list != nullptr ? list : "")) {
        const char *n = name.c_str();
        if (strcmp(n, program) == 0 && value_of(conf.get(), n, option) != nullptr)
          at = "key " + std::string(option) + " in section [" + holder_of(conf.get(), n, option) +
               "]";
        const char *type = value_of(conf.get(), n, "process_type");
        if (receipt && type != nullptr && strcmp(type, "RECEIPT_PROCESS") == 0 &&
            value_of(conf.get(), n, "transport_listen_port") != nullptr)
          at = "key transport_listen_port in section [" +
               holder_of(conf.get(), n, "transport_listen_port") + "]";
      }
      ERR_clear_error();
      if (!at.empty()) return at + " of " + file;
    }
    ERR_clear_error();
    return "a section of " + file;
  }
  switch (r->csrc) {
    case CFG_CLARGS:
      return "the command line (-" + std::string(1, r->c) + ", --" + option + ")";
    case CFG_DFLTSECT:
      return "key " + std::string(option) + " in section [default] of " + file;
    default:
      return "the built-in default of " + std::string(option);
  }
}

// An address setting the role uses: refused with where it was written when the reader
// (`read`) finds no address in it.
template <typename Read>
bool usable_setting(const char *option, const char *value, Read read) {
  std::string why;
  if (read(value, &why)) return true;
  zv_log(-1, "ERROR: Value (%s) of %s cannot be used: %s - cannot start\n", value,
         origin_of(option).c_str(), why.c_str());
  return false;
}

bool receipt_socket_usable() {
  return usable_setting("receipt_socket", zv_receipt_socaddr,
                        [](const char *v, std::string *why) {
                          zv_ipv4 addr;
                          int port;
                          return zv_read_socaddr(v, &addr, &port, why);
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
