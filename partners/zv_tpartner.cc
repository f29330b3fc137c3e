#include "partners/zv_tpartner.h"

#include <openssl/conf.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "partners/zv_address.h"
#include "partners/zv_lcert.h"
#include "partners/zv_partner_util.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"

using zv_partners::conf_number;
using zv_partners::conf_string;
using zv_partners::ConfPtr;
using zv_partners::soft_assert;
using zv_partners::split_names;

namespace {

// The assertion lines of this module carry the source name and line numbers that the
// installation's operators know from earlier releases.
constexpr const char *kSource = "zv_tpdbsup_ng";

constexpr int kDefaultStdPort = 6999;
constexpr int kDefaultHipriPort = 6998;
constexpr time_dur_t kDefaultInactivity = 3600;
constexpr time_dur_t kDefaultLifetime = 14400;
constexpr int kDefaultMaxInbound = 8;
constexpr size_t kMaxIpText = 31;
constexpr size_t kIdMax = sizeof(Tpartner_rec::isaid) - 1;
constexpr size_t kIpMax = sizeof(Tpartner_rec::ip) - 1;
constexpr size_t kCnameMax = sizeof(zv_remote_cert_t::cname) - 1;

zv_remote_cert_t remote_certs[ZV_MAX_TP];
// The zvp_name each entry was listed under; the entry keeps only its resolved index.
std::string endpoint_identities[ZV_MAX_TP];
int num_endpoints;
int num_remote_certs;
ConfPtr tpconfig;

bool present(const char *v) { return v != nullptr && *v != '\0'; }

void log_required(const char *key, const char *filename) {
  zv_log(-1,
         "ERROR: Cannot find REQUIRED field (%s) in the Trading Partner configuration file "
         "(%s).\n",
         key, filename);
}

void log_no_endpoints(const char *filename) {
  zv_log(-1,
         "ERROR: Cannot find any endpoints in the %s field in the Trading Partner configuration "
         "file (%s).\n",
         "endpoints", filename);
}

// Copies `value` into a field of `size` bytes; an id cut to fit would match the wrong
// partner, so a longer value refuses the file.
bool copy_field(char *field, size_t size, const char *value, const char *key,
                const char *section, const char *filename) {
  size_t n = strlen(value);
  if (n >= size) {
    zv_log(-1,
           "ERROR: Value (%s) of %s in section [%s] is longer than %zu characters in the "
           "Trading Partner configuration file (%s).\n",
           value, key, section, size - 1, filename);
    return false;
  }
  memcpy(field, value, n + 1);
  return true;
}

// The dotted text an address setting stands for in the partner's entry, "%d.%d.%d.%d"
// ("010.001.002.003" becomes "10.1.2.3"), into `ipfullp` (kIpMax + 1 bytes). False, with
// the reason in *why and `ipfullp` untouched, for a text that is no IPv4 address.
bool full_ip_string(const char *ip1p, char *ipfullp, std::string *why) {
  zv_ipv4 a;
  if (!zv_read_ipv4(ip1p, &a, why)) return false;
  static_assert(kIpMax + 1 >= ZV_IPV4_TEXT_SIZE);
  zv_ipv4_text(a, ipfullp);
  return true;
}

// A value of an endpoint that cannot be used as it is written: the whole file is refused,
// so that nothing is ever sent to another address than the one written.
void log_unusable(const char *value, const char *key, const char *ep, const char *filename,
                  const std::string &why) {
  zv_log(-1,
         "ERROR: Value (%s) of %s in section [%s] of the Trading Partner configuration file "
         "(%s) cannot be used: %s.\n",
         value, key, ep, filename, why.c_str());
}

// A port key of an endpoint: missing, empty or 0 gives `dflt` with its warning (%d the
// port, %s the endpoint); any other value must be a port as written.
bool endpoint_port(CONF *conf, const char *filename, const char *ep, const char *key, int dflt,
                   const char *warning, int *port) {
  const char *v = conf_string(conf, ep, key);
  if (!present(v) || v[strspn(v, "0")] == '\0') {
    zv_log(-1, warning, dflt, ep);
    *port = dflt;
    return true;
  }
  std::string why;
  if (zv_read_port(v, port, &why)) return true;
  log_unusable(v, key, ep, filename, why);
  return false;
}

struct Word {
  const char *text;
  int value;
};
constexpr Word kMessageWords[] = {
    {"BASIC_EDI", BASIC_EDI}, {"INTEGRITY_EDI", INTEGRITY_EDI}, {"SIGNED_EDI", SIGNED_EDI}};
constexpr Word kReceiptWords[] = {{"NO_RECEIPT", NO_RECEIPT},
                                  {"BASIC_RECEIPT", BASIC_RECEIPT},
                                  {"INTEGRITY_RECEIPT", INTEGRITY_RECEIPT},
                                  {"SIGNED_RECEIPT", SIGNED_RECEIPT}};

// The four envelope keys of an endpoint. A missing or empty key gives its default with
// its warning; an unknown word refuses the file, because a misspelled SIGNED_EDI must
// never quietly send unsigned envelopes. Words compare exactly, case included.
bool envelope_types(CONF *conf, const char *filename, const char *ep, Tpartner_rec &p) {
  constexpr const char *kMessageDefault =
      "WARNING: Using BASIC_EDI as default ZV EDI message format for endpoint [%s]\n";
  constexpr const char *kReceiptDefault =
      "WARNING: Using NO_RECEIPT as default ZV receipt format required for endpoint [%s]\n";
  const struct {
    const char *key;
    std::span<const Word> words;
    int dflt;
    const char *warning;  // "%s" is the endpoint
  } keys[] = {
      {"zv_message_to_tp", kMessageWords, BASIC_EDI, kMessageDefault},
      {"zv_message_from_tp", kMessageWords, BASIC_EDI,
       "WARNING: Using BASIC_EDI as default ZV EDI message format for endpoint partner [%s]\n"},
      {"zv_receipt_from_tp", kReceiptWords, NO_RECEIPT, kReceiptDefault},
      {"zv_receipt_to_tp", kReceiptWords, NO_RECEIPT, kReceiptDefault},
  };
  int values[std::size(keys)];
  for (size_t i = 0; i < std::size(keys); ++i) {
    const auto &k = keys[i];
    const char *v = conf_string(conf, ep, k.key);
    if (!present(v)) {
      zv_log(-1, k.warning, ep);
      values[i] = k.dflt;
      continue;
    }
    auto w = std::find_if(k.words.begin(), k.words.end(),
                          [v](const Word &word) { return strcmp(word.text, v) == 0; });
    if (w == k.words.end()) {
      std::string valid;
      for (const Word &word : k.words)
        valid += (valid.empty() ? "" : ", ") + std::string(word.text);
      zv_log(-1,
             "ERROR: Unknown value (%s) of %s for endpoint [%s] in the Trading Partner "
             "configuration file (%s), valid values are: %s.\n",
             v, k.key, ep, filename, valid.c_str());
      return false;
    }
    values[i] = w->value;
  }
  p.svrZvMessageType = static_cast<zvmt>(values[0]);
  p.cliZvMessageType = static_cast<zvmt>(values[1]);
  p.svrZvReceiptType = static_cast<zvrt>(values[2]);
  p.cliZvReceiptType = static_cast<zvrt>(values[3]);
  return true;
}

// Fills partner entry `p` from endpoint section `ep`, served by local identity
// `zvp_name`; false (logged) on an error.
bool fill_endpoint(CONF *conf, const char *filename, const char *lc, const char *zvp_name,
                   const char *ep, Tpartner_rec &p) {
  if (!copy_field(p.isaid, sizeof p.isaid, ep, "endpoints", lc, filename)) return false;
  p.lcert_index = get_lcert_index(zvp_name);

  struct IdKey {
    const char *key;
    char *field;
  } ids[] = {{"local_partner_id", p.local_id}, {"remote_partner_id", p.remote_id}};
  for (const auto &id : ids) {
    const char *v = conf_string(conf, ep, id.key);
    if (!present(v)) {
      zv_log(-1, "ERROR: Required %s entry for endpoint %s is missing\n", id.key, ep);
      return false;
    }
    if (!copy_field(id.field, kIdMax + 1, v, id.key, ep, filename)) return false;
  }

  const char *ip = conf_string(conf, ep, "ip_address");
  if (!present(ip)) {
    zv_log(-1, "WARNING: Using localhost (127.0.0.1) as default IP address for endpoint [%s]\n",
           ep);
    snprintf(p.ip, sizeof p.ip, "%s", "127.000.000.001");
  } else {
    char text[kMaxIpText + 1];
    if (!copy_field(text, sizeof text, ip, "ip_address", ep, filename)) return false;
    std::string why;
    if (!full_ip_string(text, p.ip, &why)) {
      log_unusable(text, "ip_address", ep, filename, why);
      return false;
    }
  }

  if (!endpoint_port(conf, filename, ep, "standard_ip_port", kDefaultStdPort,
                     "WARNING: Using %d as default standard server IP port for endpoint [%s]\n",
                     &p.port) ||
      !endpoint_port(conf, filename, ep, "hipri_ip_port", kDefaultHipriPort,
                     "WARNING: Using %d as default high priority server IP port for endpoint "
                     "[%s]\n",
                     &p.hipriport))
    return false;
  p.timeout = conf_number(conf, ep, "session_timeout");
  p.active = conf_number(conf, ep, "server_status");
  if (!envelope_types(conf, filename, ep, p)) return false;
  p.zvflavor = ECIC_12_98;
  p.custom_zv = static_cast<eZvCustomPartners>(0);
  p.count = 0;
  p.loaded = 0;
  return true;
}

int build_endpoints(CONF *conf, const char *filename, const char *list) {
  std::vector<std::string> lcs = split_names(list);
  if (lcs.empty()) {
    zv_log(-1,
           "ERROR: Cannot find any local certs in the %s field in the Trading Partner "
           "configuration file (%s).\n",
           "local_certificates", filename);
    return -1;
  }
  int count = 0;
  for (const auto &lc : lcs) {
    const char *zvp_name = conf_string(conf, lc.c_str(), "zvp_name");
    if (!present(zvp_name)) {
      zv_log(-1, "ERROR: Required %s entry for local Cert %s is missing\n", "zvp_name",
             lc.c_str());
      return -1;
    }
    const char *eps = conf_string(conf, lc.c_str(), "endpoints");
    if (!present(eps)) {
      log_required("endpoints", filename);
      return -1;
    }
    std::vector<std::string> names = split_names(eps);
    if (names.empty()) {
      log_no_endpoints(filename);
      return -1;
    }
    for (const auto &ep : names) {
      if (count == ZV_MAX_TP) {
        zv_log(-1, "ERROR: Too many endpoints in Trading Partner configuration file: %s\n",
               filename);
        return -1;
      }
      if (!fill_endpoint(conf, filename, lc.c_str(), zvp_name, ep.c_str(), partner[count]))
        return -1;
      endpoint_identities[count] = zvp_name;
      dump_endpointRec(2048, count);
      ++count;
    }
  }
  num_endpoints = count;
  return 0;
}

int build_remote_certs(CONF *conf, const char *filename, const char *list) {
  std::vector<std::string> rcs = split_names(list);
  if (rcs.empty()) {
    zv_log(-1,
           "ERROR: Cannot find any remote certs in the %s field in the Trading Partner "
           "configuration file (%s).\n",
           "trading_partners", filename);
    return -1;
  }
  int count = 0;
  for (const auto &rc_name : rcs) {
    const char *rc = rc_name.c_str();
    if (count == ZV_MAX_TP) {
      zv_log(-1, "ERROR: Too many remote certs in Trading Partner configuration file: %s\n",
             filename);
      return -1;
    }
    const char *cn = conf_string(conf, rc, "certificate_common_name");
    if (!present(cn)) {
      zv_log(-1, "ERROR: Required %s entry for  Cerificate %s is missing\n",
             "certificate_common_name", rc);
      return -1;
    }
    zv_remote_cert_t &r = remote_certs[count];
    if (!copy_field(r.cname, kCnameMax + 1, cn, "certificate_common_name", rc, filename))
      return -1;
    r.msg_retry_limit = conf_number(conf, rc, "msg_retry_limit");
    r.receipt_timeout = conf_number(conf, rc, "receipt_timeout");
    r.inactivity_dur = conf_number(conf, rc, "inactivity_dur");
    if (r.inactivity_dur == 0) r.inactivity_dur = kDefaultInactivity;
    r.lifetime_dur = conf_number(conf, rc, "lifetime_dur");
    if (r.lifetime_dur == 0) r.lifetime_dur = kDefaultLifetime;
    r.max_inbound_connections = conf_number(conf, rc, "max_inbound_connections");
    if (r.max_inbound_connections == 0) r.max_inbound_connections = kDefaultMaxInbound;
    r.bidirectional_flag = present(conf_string(conf, rc, "bidirectional_flag")) ? 1 : 0;
    dump_remoteCertRec(2048, count);

    const char *eps = conf_string(conf, rc, "endpoints");
    if (!present(eps)) {
      log_required("endpoints", filename);
      return -1;
    }
    std::vector<std::string> names = split_names(eps);
    if (names.empty()) {
      log_no_endpoints(filename);
      return -1;
    }
    for (const auto &ep : names) {
      // Every entry of that exact ISA id: an endpoint served by two local identities
      // has two entries, and a prefix would tie the certificate to another partner.
      bool found = false;
      for (int i = 0; i < ZV_MAX_TP && partner[i].isaid[0] != '\0'; ++i) {
        if (strcmp(partner[i].isaid, ep.c_str()) != 0) continue;
        partner[i].rcert_index = count;
        partner[i].cname[0] = '\0';
        found = true;
      }
      if (!found) {
        zv_log(-1,
               "ERROR: Endpoint %s listed by remote cert %s is not an endpoint of any local "
               "cert in the Trading Partner configuration file (%s).\n",
               ep.c_str(), rc, filename);
        return -1;
      }
    }
    ++count;
  }
  num_remote_certs = count;
  return 0;
}

// The stored text is exactly the key's first n characters. Sending a partner's document to
// another partner is the worst fault a gateway can have, so a stored id or name that
// merely begins with the key (or that the key merely begins with) never matches.
bool same_text(const char *stored, const char *key, size_t n) {
  return strlen(stored) == n && strncmp(stored, key, n) == 0;
}

// An ISA id field's text without the blanks that pad it to its width.
size_t unpadded_length(const char *key) {
  size_t n = strlen(key);
  while (n > 0 && key[n - 1] == ' ') --n;
  return n;
}

bool begins_with(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// One wording of a dump line: the text after the line's prefix, whether the value
// follows it in parentheses, and what comes after that.
struct Wording {
  const char *text;
  bool with_value;
  const char *tail;
};

Wording message_wording(int t) {
  switch (t) {
    case BASIC_EDI: return {"Basic EDI Message", false, ""};
    case INTEGRITY_EDI: return {"EDI with Message Integrity (digest)", false, ""};
    case SIGNED_EDI: return {"EDI with Non-repudiation (signiture)", false, ""};
    case UNSUPPORTED_MT: return {"Unsupported EDI Message Type", true, ""};
    default: return {"Unknown EDI Message Type", true, ""};
  }
}

Wording receipt_wording(int t) {
  switch (t) {
    case NO_RECEIPT: return {"No Receipt required", false, ""};
    case BASIC_RECEIPT: return {"Basic Receipt required", false, ""};
    case INTEGRITY_RECEIPT: return {"Receipt with Message Integrity (digest) required", false, ""};
    case SIGNED_RECEIPT: return {"Receipt with Non-repudiation (signiture) required", false, ""};
    case UNSUPPORTED_RT: return {"Unsupported Receipt Type", true, ""};
    default: return {"Unknown Receipt Message Type", true, " found"};
  }
}

Wording flavor_wording(int f) {
  switch (f) {
    case ECIC_12_98: return {"ECIC 12/98", false, ""};
    case ECIC_3_99: return {"TCIF/ECIC 98-006 v2 3/99", false, ""};
    case T1M15_3_99: return {"ATIS T1.M1.5 3/99", false, ""};
    case ITU_2_2000: return {"ITU Q.814/815 2/2000", false, ""};
    case UNSUPPORTED: return {"Unsupported ZV Flavor", true, ""};
    default: return {"Unknown ZV Flavor", true, ""};
  }
}

void log_wording(int level, const char *prefix, const Wording &w, int value) {
  if (w.with_value)
    zv_log(level, "%s%s (%d)%s\n", prefix, w.text, value, w.tail);
  else
    zv_log(level, "%s%s\n", prefix, w.text);
}

}  // namespace

int read_TPfile(const char *filename) {
  if (filename == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  memset(partner, 0, sizeof partner);
  memset(remote_certs, 0, sizeof remote_certs);
  for (std::string &name : endpoint_identities) name.clear();
  num_endpoints = 0;
  num_remote_certs = 0;

  tpconfig.reset(NCONF_new(nullptr));
  long eline = 0;
  if (!tpconfig || NCONF_load(tpconfig.get(), filename, &eline) <= 0) {
    ERR_clear_error();
    tpconfig.reset();
    std::string why = zv_conf_load_failure(filename, eline);
    if (why.empty())
      zv_log(-1, "ERROR: Error on line %ld of the Trading Partner configuration file (%s)\n",
             eline, filename);
    else
      zv_log(-1, "ERROR: The Trading Partner configuration file (%s) %s\n", filename,
             why.c_str());
    return -1;
  }
  CONF *conf = tpconfig.get();
  int result = -1;
  const char *tps = conf_string(conf, "default", "trading_partners");
  const char *lcs = conf_string(conf, "default", "local_certificates");
  if (!present(tps)) {
    log_required("trading_partners", filename);
  } else if (!present(lcs)) {
    log_required("local_certificates", filename);
  } else {
    result = build_endpoints(conf, filename, lcs);
    if (result == 0) {
      result = build_remote_certs(conf, filename, tps);
      if (result == 0 && verbose_flag) {
        for (int i = 0; i < ZV_MAX_TP && partner[i].isaid[0] != '\0'; ++i)
          dump_tradingPartnerRec(-2, i);
      }
    }
  }
  tpconfig.reset();
  return result;
}

int tpLookup(const char *strp, const char *remote_id, int lookup_flag) {
  if (lookup_flag < 0) soft_assert(kSource, 664);
  if (lookup_flag < 0 || lookup_flag > 3) {
    zv_log(-1, "ERROR: internal error encountered in tpLookup(): unknown lookup_flag = %d found\n",
           lookup_flag);
    return -1;
  }
  if (strp == nullptr || (lookup_flag == 0 && remote_id == nullptr)) return -1;

  const char *cn = nullptr;
  size_t cn_len = 0;
  if (lookup_flag == 2) {
    const char *at = strstr(strp, "CN=");
    if (at == nullptr) {
      zv_log(-1, "ERROR: Cannot find CN= in subject name [%s] in client certificate\n", strp);
      return -1;
    }
    cn = at + 3;
    cn_len = strcspn(cn, "/");
    if (cn_len == 0) return -1;
  }
  size_t local_len = unpadded_length(strp);
  size_t remote_len = remote_id != nullptr ? unpadded_length(remote_id) : 0;

  for (int i = 0; i < ZV_MAX_TP && partner[i].isaid[0] != '\0'; ++i) {
    const Tpartner_rec &p = partner[i];
    bool match = false;
    switch (lookup_flag) {
      case 0:
        match = same_text(p.local_id, strp, local_len) &&
                same_text(p.remote_id, remote_id, remote_len);
        break;
      case 1: {
        // "10.1.2.3" must not be taken for "10.1.2.30".
        char next = begins_with(strp, p.ip) ? strp[strlen(p.ip)] : '0';
        match = !(next >= '0' && next <= '9');
        break;
      }
      case 2:
        match = p.rcert_index >= 0 && p.rcert_index < ZV_MAX_TP &&
                same_text(remote_certs[p.rcert_index].cname, cn, cn_len);
        break;
      case 3:
        match = begins_with(strp, p.isaid);
        break;
    }
    if (match) return i;
  }
  return -1;
}

int int_from_endpoint(int i, int_from_endpoint_t what) {
  if (i >= num_endpoints) {
    soft_assert(kSource, 595);
    return -1;
  }
  if (i < 0) {
    soft_assert(kSource, 596);
    return -1;
  }
  switch (what) {
    case EP_REMOTE_CERT: return partner[i].rcert_index;
    case EP_LOCAL_CERT: return partner[i].lcert_index;
    default: return -1;
  }
}

int int_from_remote_cert(int i, int_from_rem_cert_t what) {
  if (i >= num_remote_certs) {
    soft_assert(kSource, 619);
    return -1;
  }
  if (i < 0) {
    soft_assert(kSource, 620);
    return -1;
  }
  const zv_remote_cert_t &r = remote_certs[i];
  switch (what) {
    case RC_INACTIVE_DUR: return static_cast<int>(r.inactivity_dur);
    case RC_LIFETIME_DUR: return static_cast<int>(r.lifetime_dur);
    case RC_BIDIRECTIONAL: return r.bidirectional_flag;
    case RC_MAX_INBOUND: return r.max_inbound_connections;
    default: return -1;
  }
}

int maxCertIndex() { return num_remote_certs; }

const char *endpoint_identity(int i) {
  return i >= 0 && i < num_endpoints ? endpoint_identities[i].c_str() : nullptr;
}

int dump_remoteCertRec(int level, int i) {
  if (i < 0 || i >= ZV_MAX_TP) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  const zv_remote_cert_t &r = remote_certs[i];
  zv_log(level, "=== Remote Cert Entry Settings for [%d] ====\n", i);
  zv_log(level, "  common name = %s\n", r.cname);
  zv_log(level, "  max_inbound = %d, bidirect = %s\n", r.max_inbound_connections,
         r.bidirectional_flag == 1 ? "TRUE" : "FALSE");
  zv_log(level, "  inactive = %d sec, lifetime  = %d sec\n", static_cast<int>(r.inactivity_dur),
         static_cast<int>(r.lifetime_dur));
  zv_log(level, "  msg_retry = %d, rcpt_timeout = %d sec\n", r.msg_retry_limit,
         r.receipt_timeout);
  zv_log(level, "== END Remote Cert Entry Settings =========\n");
  return 0;
}

int dump_endpointRec(int level, int i) {
  if (i < 0 || i >= ZV_MAX_TP) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  const Tpartner_rec &p = partner[i];
  zv_log(level, "=== Endpoint Settings for [%d] =============\n", i);
  zv_log(level, "  isaid = %s, local id = %s, remote id = %s\n", p.isaid, p.local_id,
         p.remote_id);
  zv_log(level, "  ip = %s, stdport = %d, hipriport = %d\n", p.ip, p.port, p.hipriport);
  zv_log(level, "  session timeout = %d\n", p.timeout);
  zv_log(level, "  lcert index = %d, rcert index = %d\n", p.lcert_index, p.rcert_index);
  log_wording(level, "  EDI message type to TP = ",
              message_wording(p.svrZvMessageType), p.svrZvMessageType);
  log_wording(level, "  EDI message type from TP = ",
              message_wording(p.cliZvMessageType), p.cliZvMessageType);
  log_wording(level, "  Receipt message type from TP = ",
              receipt_wording(p.svrZvReceiptType), p.svrZvReceiptType);
  log_wording(level, "  Receipt message type to TP = ",
              receipt_wording(p.cliZvReceiptType), p.cliZvReceiptType);
  zv_log(level, "  Trading Partner's Active server flag = %d\n", p.active);
  log_wording(level, "  ZV Standard \"Flavor\" default = ", flavor_wording(p.zvflavor),
              p.zvflavor);
  zv_log(level, "== END Endpoint Settings ==================\n");
  return 0;
}

int dump_tradingPartnerRec(int level, int i) {
  if (i < 0 || i >= ZV_MAX_TP) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  const Tpartner_rec &p = partner[i];
  zv_log(level, "======= Configuartion for %s\n", p.isaid);
  // An identity name that named no loaded section has no entry to print; the endpoint's
  // own lines show its index of -1.
  if (p.lcert_index >= 0) dump_localCertRec(level, p.lcert_index);
  dump_remoteCertRec(level, p.rcert_index);
  dump_endpointRec(level, i);
  zv_log(level, "======= END Configuartion for %s\n", p.isaid);
  return 0;
}
