#include "runtime/zv_options.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_services.h"

namespace {

struct sections_t {
  int v[5];
};

zv_command_switch row(char c, config_type_t type, char *valuep, int vsize,
                      const char *long_name, const char *argdesc, const char *description,
                      int val_required, sections_t s) {
  zv_command_switch r{};
  r.c = c;
  r.type = type;
  r.valuep = valuep;
  r.vsize = vsize;
  r.csrc = CFG_DEFAULT;
  r.long_name = long_name;
  r.argdesc = argdesc;
  r.description = description;
  r.val_required = val_required;
  r.required = 0;
  for (int i = 0; i < 5; ++i) r.sections[i] = s.v[i];
  return r;
}

zv_command_switch flag_row(char c, const char *name, int &var, const char *desc,
                           sections_t s) {
  zv_command_switch r =
      row(c, flag, reinterpret_cast<char *>(&var), 4, name, nullptr, desc, 0, s);
  r.default_value.flag = 0;
  return r;
}

zv_command_switch int_row(char c, const char *name, int dflt, const char *arg, int &var,
                          const char *desc, sections_t s) {
  zv_command_switch r =
      row(c, positive_int, reinterpret_cast<char *>(&var), 4, name, arg, desc, 1, s);
  r.default_value.posint = dflt;
  return r;
}

template <size_t N>
zv_command_switch str_row(char c, const char *name, const char *dflt, const char *arg,
                          char (&var)[N], const char *desc, sections_t s) {
  zv_command_switch r = row(c, string, var, static_cast<int>(N), name, arg, desc, 1, s);
  r.default_value.pstr = dflt;
  return r;
}

zv_command_switch end_row() {
  zv_command_switch r = row(0, ignore, nullptr, 4, "_END_", nullptr,
                            "End Of List of configuration values", 0, {{0, 0, 0, 0, 0}});
  r.default_value.posint = 0;
  return r;
}

}  // namespace

const char *const section_types[ZV_NUM_SECTION_TYPES] = {
    "CLIENT_PROCESS",     "RECEIPT_PROCESS",  "STD_SERVER_PROCESS",
    "HPR_SERVER_PROCESS", "FAILOVER_PROCESS", "ZVP_PROCESS",
};

// clang-format off
zv_command_switch zv_switches[ZV_NUM_SWITCHES + 1] = {
  flag_row('A', "sloppyallow", zv_sloppy_allow_flag,
           "Flag to allow receipt of any type of messages from\n\t\tactive trading partners (for testing purposes only)",
           {{0, 0, 0, 0, 1}}),
  flag_row('B', "sloppyinactive", zv_sloppy_inactive_flag,
           "Flag to allow receipt of message from inactive trading\n\t\tpartners (for testing purposes only)",
           {{0, 0, 0, 0, 1}}),
  int_row('C', "cachesize", 128, "ENTRIES", zv_cache_size,
          "Server session cache size (in session entries)", {{0, 0, 0, 0, 1}}),
  str_row('D', "outdir", "out_dir", "PATH", zv_dirpath,
          "Output directory name (for Directory interface only)", {{0, 0, 1, 1, 0}}),
  str_row('F', "file", "test_file", "FILENAME", zv_filename,
          "Input or output file name (for File interface only)", {{1, 0, 1, 0, 0}}),
  flag_row('I', "ignoredupreceipts", zv_ignoreDupeReceipts_flag,
           "Flag to allow duplicate receipts without triggering errors\n\t\t(for testing purposes only)",
           {{0, 0, 0, 0, 1}}),
  int_row('L', "loopbackdelay", 0, "SECONDS", zv_loopback_delay,
          "Debug loopback delay in seconds (for testing purposes only)", {{0, 0, 0, 0, 1}}),
  str_row('N', "server_socket", "127.0.0.1:8001", "SOCKETADDRESS:PORT", zv_server_socaddr,
          "Standard Server socket address and port (for process tcp pipes only)",
          {{1, 0, 1, 0, 0}}),
  flag_row('O', "oneshot", oneshot_flag,
           "Flag to force processing of only a single transaction", {{1, 0, 1, 0, 0}}),
  str_row('Q', "hpri_server_socket", "127.0.0.1:8002", "SOCKETADDRESS:PORT",
          zv_hpserver_socaddr,
          "Hi Priority Server socket address and port (for process tcp pipes only)",
          {{1, 0, 1, 0, 0}}),
  str_row('R', "receiptmode", "internal", "MODE", zv_rec_mode,
          "Receipt mode supported. May be either internal or external", {{0, 0, 0, 0, 1}}),
  str_row('S', "outsocket", "127.0.0.1", "SOCKETADDRESS:PORT", zv_socaddr,
          "Output socket address and port (for Socket interface only)", {{0, 0, 1, 1, 0}}),
  str_row('U', "receipt_socket", "127.0.0.1:8000", "SOCKETADDRESS:PORT", zv_receipt_socaddr,
          "Receipt Client socket address and port (for process tcp pipes only)",
          {{1, 0, 1, 0, 0}}),
  flag_row('V', "version", print_version_flag,
           "Prints the Zolvar product version - then exits", {{0, 0, 0, 0, 0}}),
  str_row('X', "failover_path", "/opt/zolvar3/data", "PATH", failoverd_dir_path,
          "Failover data directory path (/opt/zolvar3/data is the default)",
          {{1, 0, 1, 0, 0}}),
  flag_row('Y', "savereceipts", zv_save_receipt_flag,
           "Flag to force storage of all inbound and outbound receipts", {{0, 0, 1, 1, 0}}),
  flag_row('Z', "packetmode", zv_packet_mode_flag,
           "Forces ZV Input packet format support only", {{1, 0, 0, 0, 0}}),
  str_row('a', "indir", "in_dir", "PATH", zv_dirpath2,
          "Input directory name (for Directory interface only)", {{1, 0, 0, 0, 0}}),
  str_row('c', "config", "zolvar.conf", "FILENAME", configFileName,
          "Zolvar configuration file name - default is zolvar.conf", {{0, 0, 0, 0, 1}}),
  int_row('d', "debug", 0, "DEPTH", debug_level,
          "Debug display depth (for testing purposes only)", {{0, 0, 0, 0, 1}}),
  str_row('e', "entropy", "/tmp/entropy", "FILENAME", zv_entropySource,
          "Entropy source (file) required for cryptographic calculations", {{0, 0, 0, 0, 1}}),
  str_row('g', "insocket", "6500", "SOCKETPORT", zv_socaddr2,
          "Input socket port (for Socket interface only)", {{1, 0, 0, 0, 0}}),
  int_row('h', "hipriport", 6998, "PORT", server_hipriport,
          "High priority server port (for Hipri Server process only)", {{0, 0, 0, 1, 0}}),
  str_row('i', "interface", "dir", "TYPE", zv_interface,
          "Input (client) or output (server) interface supported. May be\n\t\tany of the following: file, dir, or socket",
          {{1, 0, 1, 1, 0}}),
  int_row('l', "clusternum", 0, "CLUSTERNUM", zv_cluster_num,
          "Set cluster number for operations", {{1, 0, 0, 0, 0}}),
  int_row('n', "dirpolldelay", 5, "SECONDS", dir_poll_delay,
          "Client directory poll delay in seconds\n\t\t(for Directory interface only)",
          {{1, 0, 0, 0, 0}}),
  int_row('p', "stdport", 6999, "PORT", server_stdport,
          "Standard server port (for Std Server process only)", {{0, 0, 1, 0, 0}}),
  flag_row('q', "vhack", verify_hack_flag,
           "Self-signed issuer certificate verify hack flag", {{0, 0, 0, 0, 1}}),
  flag_row('r', "raw", rawMessage_flag,
           "Flag to force RAW text (not ASN1 message) transfer", {{0, 0, 0, 0, 1}}),
  str_row('t', "TPconfig", "tpartner.conf", "FILENAME", tpartnerFileName,
          "Zolvar trading partner configuration file name -\n\t\tdefault is tpartner.conf",
          {{0, 0, 0, 0, 1}}),
  flag_row('u', "usage", usage_flag, "Displays this usage page", {{0, 0, 0, 0, 0}}),
  flag_row('v', "verbose", verbose_flag,
           "Flag to force A LOT of logging to stdout and log files", {{0, 0, 0, 0, 1}}),
  str_row('z', "CAfile", "ca_cert.pem", "FILENAME", CAfileName,
          "Certificate Authority (CA) file (in PEM format)", {{1, 1, 1, 1, 0}}),
  end_row(),
};
// clang-format on

namespace {

constexpr char kUnknownType[] = "default:ERROR unknown Type of option found %d - ignoring\n";

struct long_alias {
  const char *name;
  int has_arg;
  char letter;
};
constexpr long_alias long_option_aliases[] = {
    {"port", required_argument, 'p'},
    {"help", no_argument, 'u'},
    {"config-file", required_argument, 'c'},
    {"tpartner", required_argument, 't'},
    {"debuglevel", optional_argument, 'd'},
};
constexpr int kNumAliases = sizeof long_option_aliases / sizeof long_option_aliases[0];

char short_options[2 * 3 * ZV_NUM_SWITCHES + 2];
struct option long_options[ZV_NUM_SWITCHES + kNumAliases + 1];
bool switches_built = false;

// The configuration file, loaded by the first reader and released after the walk.
CONF *zvconfig = nullptr;

bool takes_value(config_type_t t) {
  return t == string || t == single_char || t == positive_int || t == floating;
}

int getopt_kind(const zv_command_switch &r) {
  if (r.type == flag || r.type == flag_off || r.type == ignore) return no_argument;
  return r.val_required == 1 ? required_argument : optional_argument;
}

void copy_string(const zv_command_switch &r, const char *value) {
  size_t cap = static_cast<size_t>(r.vsize);
  size_t n = strnlen(value, cap - 1);
  memcpy(r.valuep, value, n);
  r.valuep[n] = '\0';
}

int &int_var(const zv_command_switch &r) { return *reinterpret_cast<int *>(r.valuep); }

// The leading decimal number of `text`, as atoi reads it; false when there is none or
// when it does not fit an int (atoi's result is undefined there).
bool leading_int(const char *text, int *out) {
  errno = 0;
  char *end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

const char *src_label(config_src_t src) {
  switch (src) {
    case CFG_DEFAULT: return "CFG_DEFAULT ";
    case CFG_CLARGS: return "CFG_CLARGS  ";
    case CFG_DFLTSECT: return "CFG_DFLTSECT";
    case CFG_CFILE: return "CFG_CFILE   ";
  }
  return "unknown";
}

int load_zvconfig(const char *file) {
  if (zvconfig) return 0;
  CONF *conf = NCONF_new(nullptr);
  long eline = 0;
  if (!conf || NCONF_load(conf, file, &eline) <= 0) {
    NCONF_free(conf);
    ERR_clear_error();
    std::string why = zv_conf_load_failure(file, eline);
    if (why.empty())
      fprintf(stderr, "ERROR: Error on line %ld of the Zolvar configuration file (%s)\n",
              eline, file);
    else
      fprintf(stderr, "ERROR: The Zolvar configuration file (%s) %s\n", file, why.c_str());
    return -1;
  }
  zvconfig = conf;
  return 0;
}

// A key's value in a section (the [default] section standing in), or none.
const char *conf_value(CONF *conf, const char *section, const char *name) {
  if (!conf) return nullptr;
  const char *v = NCONF_get_string(conf, section, name);
  if (!v) ERR_clear_error();  // a missing key is not an error worth keeping
  return v;
}

// The leading decimal digits of a key's value; 0 when missing or not a number.
int conf_number(CONF *conf, const char *section, const char *name) {
  const char *v = conf_value(conf, section, name);
  long n = 0;
  for (; v && isdigit(static_cast<unsigned char>(*v)); ++v) {
    n = n * 10 + (*v - '0');
    if (n > 0x7fffffff) return 0x7fffffff;
  }
  return static_cast<int>(n);
}

std::vector<std::string> split_names(const char *list) {
  std::vector<std::string> names;
  std::string cur;
  for (const char *p = list; *p; ++p) {
    if (*p == ',' || *p == ' ' || *p == '\t') {
      if (!cur.empty()) names.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  if (!cur.empty()) names.push_back(cur);
  return names;
}

// ---- local identities --------------------------------------------------------------
//
// The ZVP_PROCESS sections are loaded by the local-certificate table of partners/,
// reached through zv_services. Until a program registers it, a minimal table here
// keeps the same interface: it records the names and settings of each section without
// reading the PEM files, so start-up and its file checks still see the key and
// certificate names.

zv_local_cert_t standin_tab[ZV_MAX_ZVP];

int standin_init_lcert_table() {
  memset(static_cast<void *>(standin_tab), 0, sizeof standin_tab);
  return 0;
}

int standin_load_lcert_table(CONF *conf, const char *section, const char *default_socaddr,
                             int slot) {
  if (!section || !default_socaddr || slot < 0 || slot >= ZV_MAX_ZVP) return -1;
  zv_local_cert_t &e = standin_tab[slot];
  memset(static_cast<void *>(&e), 0, sizeof e);
  snprintf(e.zvp_reference, sizeof e.zvp_reference, "%s", section);
  e.zvp_version = conf_number(conf, section, "zvversion");
  if (e.zvp_version != 2 && e.zvp_version != 3) {
    zv_log(-1, "WARNING: Using %d as the default ZV version for zvp process [%s]\n", 2,
           section);
    e.zvp_version = 2;
  }
  const char *key = conf_value(conf, section, "key");
  if (!key || !*key) {
    memset(static_cast<void *>(&e), 0, sizeof e);
    zv_log(-1, "ERROR: Cannot find REQUIRED field (%s) for zvp process [%s]\n", "key", section);
    return -1;
  }
  snprintf(keyFileName, sizeof keyFileName, "%s", key);
  const char *cert = conf_value(conf, section, "cert");
  if (!cert || !*cert) {
    memset(static_cast<void *>(&e), 0, sizeof e);
    zv_log(-1, "ERROR: Cannot find REQUIRED field (%s) for zvp process [%s]\n", "cert",
           section);
    return -1;
  }
  snprintf(certificateFileName, sizeof certificateFileName, "%s", cert);
  const char *addr = conf_value(conf, section, "transport_listen_port");
  if (!addr || !*addr) {
    zv_log(1, "Using default transport socket [%s] for zvp process [%s]\n", default_socaddr,
           section);
    addr = default_socaddr;
  }
  snprintf(e.transport_listen_socaddr, sizeof e.transport_listen_socaddr, "%s", addr);
  e.pacing_delay = conf_number(conf, section, "pacing_delay");
  return 0;
}

int standin_get_lcert_entry(int slot, int *version, X509 **cert, EVP_PKEY **key,
                            char socaddr[64], int *pacing_delay) {
  if (slot < 0 || slot >= ZV_MAX_ZVP || standin_tab[slot].zvp_reference[0] == '\0') return -1;
  const zv_local_cert_t &e = standin_tab[slot];
  if (version) *version = e.zvp_version;
  if (cert) *cert = e.pLocalCert;
  if (key) *key = e.pLocalPrivateKey;
  if (socaddr) memcpy(socaddr, e.transport_listen_socaddr, sizeof e.transport_listen_socaddr);
  if (pacing_delay) *pacing_delay = e.pacing_delay;
  return 0;
}

struct lcert_ops {
  int (*init)();
  int (*load)(CONF *, const char *, const char *, int);
  int (*get)(int, int *, X509 **, EVP_PKEY **, char *, int *);
};

lcert_ops lcert() {
  if (zv_services.init_lcert_table && zv_services.load_lcert_table &&
      zv_services.get_lcert_entry)
    return {zv_services.init_lcert_table, zv_services.load_lcert_table,
            zv_services.get_lcert_entry};
  return {standin_init_lcert_table, standin_load_lcert_table, standin_get_lcert_entry};
}

}  // namespace

// ---- getopt tables and usage -------------------------------------------------------

void init_switches() {
  if (switches_built) return;
  size_t k = 0;
  short_options[k++] = '-';
  int j = 0;
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    if (isalnum(static_cast<unsigned char>(r.c))) {
      short_options[k++] = r.c;
      if (takes_value(r.type)) {
        short_options[k++] = ':';
        if (r.val_required != 1) short_options[k++] = ':';
      }
    }
    long_options[j].name = r.long_name ? r.long_name : "";
    long_options[j].has_arg = getopt_kind(r);
    long_options[j].flag = nullptr;
    long_options[j].val = r.c;
    ++j;
  }
  short_options[k] = '\0';
  for (const long_alias &a : long_option_aliases) {
    long_options[j].name = a.name;
    long_options[j].has_arg = a.has_arg;
    long_options[j].flag = nullptr;
    long_options[j].val = a.letter;
    ++j;
  }
  long_options[j] = {nullptr, 0, nullptr, 0};
  switches_built = true;
}

const char *zv_short_options() {
  init_switches();
  return short_options;
}

const struct option *zv_long_options() {
  init_switches();
  return long_options;
}

void zv_usage(FILE *stream) {
  init_switches();
  fprintf(stream, "Usage: %s [options] [target] ...\n", program);
  fprintf(stream, "Options:\n");
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    if (r.description && r.description[0] == '-') continue;
    const char *arg = r.argdesc ? r.argdesc : "";
    std::string long_arg, short_arg;
    switch (getopt_kind(r)) {
      case required_argument:
        long_arg = std::string("=") + arg;
        short_arg = std::string(" ") + arg;
        break;
      case optional_argument:
        long_arg = std::string("[=") + arg + "]";
        short_arg = std::string(" [") + arg + "]";
        break;
      default:
        break;
    }
    std::string col;
    bool letter = isalnum(static_cast<unsigned char>(r.c)) != 0;
    if (letter) col += std::string("  -") + r.c + short_arg;
    if (r.long_name) col += std::string(letter ? ", " : "  ") + "--" + r.long_name + long_arg;
    for (const long_alias &a : long_option_aliases)
      if (a.letter == r.c) col += std::string(", --") + a.name + long_arg;
    // Rows whose description is "-" and a letter are further spellings of that letter.
    for (int m = i + 1; m < ZV_NUM_SWITCHES; ++m) {
      const zv_command_switch &o = zv_switches[m];
      if (o.description && o.description[0] == '-' && o.description[1] == r.c) {
        col += std::string(", -") + o.c + short_arg;
        if (o.long_name) col += std::string(", --") + o.long_name + long_arg;
      }
    }
    if (col.size() > 13) {
      fprintf(stream, "%s\n", col.c_str());
      col.clear();
    }
    fprintf(stream, "%-15s%s.\n", col.c_str(), r.description ? r.description : "");
  }
}

// ---- command line ------------------------------------------------------------------

void handle_non_switch_argument(const char *, int) {}

int load_config_defaults() {
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    zv_command_switch &r = zv_switches[i];
    switch (r.type) {
      case flag:
      case flag_off:
        int_var(r) = r.default_value.flag;
        break;
      case string:
        copy_string(r, r.default_value.pstr ? r.default_value.pstr : "");
        break;
      case single_char:
        *r.valuep = r.default_value.schar;
        break;
      case positive_int:
        int_var(r) = r.default_value.posint;
        break;
      case ignore:
        break;
      default:
        fprintf(stderr, kUnknownType, r.type);
        break;
    }
    r.csrc = CFG_DEFAULT;
  }
  return 0;
}

void parse_args(int argc, char **argv) {
  const char *argv0 = argc > 0 && argv && argv[0] ? argv[0] : "";
  const char *base = strrchr(argv0, '/');
  snprintf(program, sizeof program, "%s", base ? base + 1 : argv0);

  load_config_defaults();
  dump_config(0x800, CFG_DEFAULT);
  init_switches();
  opterr = 1;
  optind = 0;  // full reinitialisation, starting at the first argument

  bool error = false;
  int n = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
    if (opt == 1) {
      handle_non_switch_argument(optarg, n++);
      continue;
    }
    if (opt == '?') {
      error = true;
      continue;
    }
    zv_command_switch *r = nullptr;
    for (int i = 0; i < ZV_NUM_SWITCHES; ++i)
      if (zv_switches[i].c == opt) r = &zv_switches[i];
    if (!r) continue;
    const char *arg = optarg;
    switch (r->type) {
      case flag:
        r->csrc = CFG_CLARGS;
        int_var(*r) = 1;
        break;
      case flag_off:
        r->csrc = CFG_CLARGS;
        int_var(*r) = 0;
        break;
      case string:
        if (arg) {
          r->csrc = CFG_CLARGS;
          copy_string(*r, arg);
        }
        break;
      case single_char:
        if (arg) {
          if (isalpha(static_cast<unsigned char>(arg[0]))) {
            r->csrc = CFG_CLARGS;
            *r->valuep = arg[0];
          } else {
            fprintf(stderr, "the `-%c' option requires a single character argument\n", r->c);
            error = true;
          }
        }
        break;
      case positive_int:
        if (!arg && optind < argc && argv[optind] &&
            isdigit(static_cast<unsigned char>(argv[optind][0])))
          arg = argv[optind++];
        if (arg) {
          int v = 0;
          if (!leading_int(arg, &v) || v < 1) {
            fprintf(stderr, "the `-%c' option requires a positive integer argument\n", r->c);
            error = true;
          } else {
            r->csrc = CFG_CLARGS;
            int_var(*r) = v;
          }
        }
        break;
      default:
        break;
    }
  }

  if (print_version_flag) {
    print_version();
    exit(0);
  }
  if (error || usage_flag) {
    FILE *out = error ? stderr : stdout;
    zv_usage(out);
    fflush(out);
    exit(error ? 2 : 0);
  }
}

// ---- configuration file ------------------------------------------------------------

zv_command_switch *find_cs_entry(const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    zv_command_switch &r = zv_switches[i];
    if ((name[0] != '\0' && name[1] == '\0' && name[0] == r.c) ||
        (r.long_name && strcmp(r.long_name, name) == 0))
      return &r;
  }
  return nullptr;
}

namespace {

// Where the value of each option that a section of the configuration file set was
// written ("key K in section [S]"); empty for any other, a default built for a section
// included.
std::string switch_origin[ZV_NUM_SWITCHES];

// Records that `option` holds the value of `key` in `section`, or in [default] standing
// in for a section that lacks the key.
void note_origin(const char *option, const char *section, const char *key) {
  const zv_command_switch *r = find_cs_entry(option);
  if (r == nullptr || r->csrc != CFG_CFILE) return;
  bool own = false;
  STACK_OF(CONF_VALUE) *values = NCONF_get_section(zvconfig, section);
  for (int i = 0; !own && values != nullptr && i < sk_CONF_VALUE_num(values); ++i)
    own = strcmp(sk_CONF_VALUE_value(values, i)->name, key) == 0;
  ERR_clear_error();
  switch_origin[r - zv_switches] =
      "key " + std::string(key) + " in section [" + (own ? section : "default") + "]";
}

}  // namespace

std::string zv_option_origin(const char *option) {
  const zv_command_switch *r = find_cs_entry(option);
  const std::string file = "the configuration file (" + std::string(configFileName) + ")";
  if (r == nullptr || r->csrc == CFG_CFILE) {
    const std::string &at = r != nullptr ? switch_origin[r - zv_switches] : std::string();
    return at.empty() ? "a section of " + file : at + " of " + file;
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

int load_config_pairs(const char *name, const char *value, int, config_src_t src) {
  if (!name || !value) return 0;
  bool one_char = name[0] != '\0' && name[1] == '\0';
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    zv_command_switch &r = zv_switches[i];
    bool match = (one_char && name[0] == r.c) || (r.long_name && strcmp(r.long_name, name) == 0);
    if (!match || r.csrc == CFG_CLARGS) continue;
    switch (r.type) {
      case flag:
        int_var(r) = 1;
        break;
      case flag_off:
        int_var(r) = 0;
        break;
      case string:
        copy_string(r, value);
        break;
      case single_char:
        *r.valuep = value[0];
        break;
      case positive_int: {
        // A value below 1 would make a delay loop spin (dirpolldelay = -3) or turn on
        // every debug bit; a row whose own default is 0 still takes 0 (debug = 0).
        int v = 0;
        int dflt = r.default_value.posint;
        if (!leading_int(value, &v) || (v < 1 && v != dflt)) {
          zv_log(-1,
                 "WARNING: Using %d as default for %s, found [%s] (not a number from 1 to "
                 "%d)\n",
                 dflt, r.long_name, value, INT_MAX);
          v = dflt;
        }
        int_var(r) = v;
        break;
      }
      case ignore:
        break;
      default:
        zv_log(-1, kUnknownType, r.type);
        break;
    }
    r.csrc = src;
    switch_origin[i].clear();
  }
  return 0;
}

int process_std_section(const char *section, int type, config_src_t src) {
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    if (!r.long_name) continue;
    const char *v = conf_value(zvconfig, section, r.long_name);
    if (!v || !*v) continue;
    load_config_pairs(r.long_name, v, type, src);
    note_origin(r.long_name, section, r.long_name);
  }
  return 0;
}

int read_config_default_section(const char *file) {
  if (!file) file = "";
  if (load_zvconfig(file) != 0) return -1;
  if (!conf_value(zvconfig, "default", "process_names")) {
    fprintf(stderr,
            "ERROR: Cannot find REQUIRED field (%s) in the Zolvar configuration file (%s).\n"
            "  Cannot continue.\n",
            "process_names", file);
    return -1;
  }
  process_std_section("default", -1, CFG_DFLTSECT);
  return 0;
}

int read_ng_config(const char *file, const char *prog) {
  if (!file) file = "";
  if (load_zvconfig(file) != 0) return -1;
  dump_config(0x800, CFG_CLARGS);
  dump_config(0x800, CFG_DFLTSECT);
  int rc = walk_process_names_list(file, prog ? prog : "");
  zv_config_release();
  dump_config(0x800, CFG_CFILE);
  dump_config(0x800, CFG_DEFAULT);
  return rc;
}

void zv_config_release() {
  NCONF_free(zvconfig);
  zvconfig = nullptr;
}

int process_zvp_section(const char *section, int slot, int type, config_src_t src) {
  int version = 0;
  X509 *cert = nullptr;
  EVP_PKEY *key = nullptr;
  char socaddr[64] = {0};
  int pacing = 0;
  if (lcert().get(slot, &version, &cert, &key, socaddr, &pacing) != 0) return -1;
  zvp_version = version;
  localCertificate = cert;
  localPrivateKey = key;
  snprintf(zv_zvpproc_socaddr, sizeof zv_zvpproc_socaddr, "%.63s", socaddr);
  process_std_section(section, type, src);
  return 0;
}

int process_transport_listen(const char *section, const char *, int type, config_src_t src) {
  const char *option;
  int port;
  const char *note;
  switch (type) {
    case RECEIPT_SECTION:
      option = "receipt_socket";
      port = 8000;
      note = "Using default transport socket [%s] for receipt process\n";
      break;
    case STD_SERVER_SECTION:
      option = "server_socket";
      port = 8001;
      note = "Using default transport socket [%s] for std server process\n";
      break;
    case HPR_SERVER_SECTION:
      option = "hpri_server_socket";
      port = 8002;
      note = "Using default transport socket [%s] for hpri server process\n";
      break;
    default:
      return 0;
  }
  zv_command_switch *r = find_cs_entry(option);
  const char *v = conf_value(zvconfig, section, "transport_listen_port");
  char built[64];
  if (!v || !*v) {
    if (r->csrc != CFG_DEFAULT) return 0;
    snprintf(built, sizeof built, "127.0.0.1:%d", port + zv_cluster_num);
    zv_log(1, note, built);
    v = built;
  }
  load_config_pairs(option, v, type, src);
  if (v != built) note_origin(option, section, "transport_listen_port");
  return 0;
}

int walk_process_names_list(const char *file, const char *prog) {
  lcert_ops ops = lcert();
  ops.init();
  const char *list = conf_value(zvconfig, "default", "process_names");
  if (!list) {
    zv_log(-1, "ERROR: Cannot find REQUIRED field (%s) in the Zolvar configuration file (%s)\n",
           "process_names", file);
    return -1;
  }
  std::vector<std::string> names = split_names(list);
  if (names.empty()) {
    zv_log(-1,
           "ERROR: Cannot find any process names in the %s field in the Zolvar configuration "
           "file (%s)\n",
           "process_names", file);
    return -1;
  }
  int rc = 0;
  int n = 0;
  for (const std::string &name_s : names) {
    const char *name = name_s.c_str();
    const char *ptype = conf_value(zvconfig, name, "process_type");
    if (!ptype) {
      zv_log(-1, "ERROR: Cannot find REQUIRED field (%s) for process [%s]\n", "process_type",
             name);
      rc = -1;
      continue;
    }
    char value[64];
    snprintf(value, sizeof value, "%.63s", ptype);
    int kind = -1;
    for (int k = 0; k < ZV_NUM_SECTION_TYPES; ++k)
      if (strcmp(value, section_types[k]) == 0) kind = k;
    if (kind < 0) {
      zv_log(-1,
             "ERROR: Cannot find a valid value for field (%s) for process [%s]. Found [%s], "
             "valid values are: %s, %s, %s, %s, %s, or %s\n",
             "process_type", name, value, section_types[0], section_types[1], section_types[2],
             section_types[3], section_types[4], section_types[5]);
      rc = -1;
      continue;
    }
    if (kind == ZVP_SECTION) {
      if (n >= ZV_MAX_ZVP) {
        zv_log(-1, "ERROR: Too many ZVP processes in the Zolvar configuration file: %s\n", file);
        return -1;
      }
      char socaddr[64];
      snprintf(socaddr, sizeof socaddr, "127.0.0.1:%d", 8003 + n + zv_cluster_num);
      if (ops.load(zvconfig, name, socaddr, n) != 0) {
        zv_log(-1, "ERROR: Cannot load the local identity of zvp process [%s]\n", name);
        rc = -1;
        continue;
      }
      if (strcmp(name, prog) == 0 && process_zvp_section(name, n, kind, CFG_CFILE) != 0) {
        zv_log(-1, "ERROR: Assignment to globals failed for zvp process [%s]\n", name);
        rc = -1;
        continue;
      }
      ++n;
      continue;
    }
    if (strcmp(name, prog) == 0) process_std_section(name, kind, CFG_CFILE);
    process_transport_listen(name, prog, kind, CFG_CFILE);
  }
  return rc;
}

int dump_config(int level, config_src_t src) {
  if (!(debug_level & level)) return 0;
  fprintf(stderr, "==== %s configuration values ====\n", src_label(src));
  for (int i = 0; i < ZV_NUM_SWITCHES; ++i) {
    const zv_command_switch &r = zv_switches[i];
    if (r.csrc != src) continue;
    switch (r.type) {
      case flag:
      case flag_off:
        fprintf(stderr, "  FLAG: %s = %d\n", r.long_name, int_var(r));
        break;
      case string:
        fprintf(stderr, "  STRING: %s = %s\n", r.long_name, r.valuep);
        break;
      case single_char:
        fprintf(stderr, "  CHAR: %s = %c\n", r.long_name, *r.valuep);
        break;
      case positive_int:
        fprintf(stderr, "  INTEGER: %s = %d\n", r.long_name, int_var(r));
        break;
      case ignore:
        break;
      default:
        fprintf(stderr, kUnknownType, r.type);
        break;
    }
  }
  fprintf(stderr, "== END %s configuration values ==\n", src_label(src));
  return 0;
}

std::string zv_conf_load_failure(const char *file, long eline) {
  if (eline != 0) return "";
  struct stat st;
  if (stat(file, &st) != 0 && errno == ENOENT) return "does not exist";
  if (access(file, R_OK) != 0) return std::string("cannot be read: ") + strerror(errno);
  return "";
}
