// The option table `zv_switches` and the three passes that fill the process's settings
// from it: built-in defaults and the command line (parse_args), the [default] section
// of the configuration file (read_config_default_section), and the walk over the
// sections listed in `process_names` (read_ng_config), which applies the process's own
// section, learns the transport sockets of the receipt and server processes and loads
// one local identity per ZVP_PROCESS section.
//
// Each value remembers where it came from; a command-line value is never overwritten.
// The configuration file is read with the crypto library's CONF reader, so a key that a
// section lacks is taken from [default].
//
// Start-up only, on the main thread; the option variables are read-only afterwards.
#ifndef ZV_RUNTIME_ZV_OPTIONS_H
#define ZV_RUNTIME_ZV_OPTIONS_H

#include <getopt.h>

#include <cstdio>
#include <string>

#include <openssl/conf.h>

enum config_type_t {
  flag = 0,         // the option or key sets the int variable to 1
  flag_off = 1,     // ... to 0
  string = 2,       // a char array of vsize bytes
  single_char = 3,  // one letter
  positive_int = 4, // an int; at least 1 on the command line, any integer from the file
  floating = 5,     // declared only
  ignore = 6,
};

enum config_src_t {
  CFG_DEFAULT = 0,   // built-in default
  CFG_CLARGS = 1,    // command line
  CFG_DFLTSECT = 2,  // [default] section
  CFG_CFILE = 3,     // a process section
};

// The process kinds of the key `process_type`, by index (not the numbering of the
// running role, zv_process_t).
enum zv_section_type_t {
  CLIENT_SECTION = 0,
  RECEIPT_SECTION = 1,
  STD_SERVER_SECTION = 2,
  HPR_SERVER_SECTION = 3,
  FAILOVER_SECTION = 4,
  ZVP_SECTION = 5,
};
constexpr int ZV_NUM_SECTION_TYPES = 6;
extern const char *const section_types[ZV_NUM_SECTION_TYPES];

struct zv_command_switch {
  char c;  // the one-letter option; 0 ends the table
  config_type_t type;
  union {
    const char *pstr;
    int posint;
    char schar;
    short flag;
    float floating;
  } default_value;
  char *valuep;  // the variable that receives the value
  int vsize;     // capacity of a string variable including its NUL; 4 for the others
  config_src_t csrc;
  const char *long_name;    // long option name and configuration key
  const char *argdesc;      // argument name in the usage page, or none
  const char *description;  // usage text
  int val_required;
  int required;     // no code reads it
  int sections[5];  // client, receipt client, std server, high-priority server, every
                    // process; no code reads them
};

constexpr int ZV_NUM_SWITCHES = 33;
// 33 rows and the end row.
extern zv_command_switch zv_switches[ZV_NUM_SWITCHES + 1];

// Upper bound of ZVP_PROCESS sections (the local-identity table).
constexpr int ZV_MAX_ZVP = 64;

// May exit: 0 after -V (banner) or -u (usage page), 2 after a bad option or value.
void parse_args(int argc, char **argv);
int load_config_defaults();
void init_switches();
void handle_non_switch_argument(const char *arg, int n);

int read_config_default_section(const char *file);
int read_ng_config(const char *file, const char *program);
int walk_process_names_list(const char *file, const char *program);
int process_std_section(const char *section, int type, config_src_t src);
int process_zvp_section(const char *section, int slot, int type, config_src_t src);
int process_transport_listen(const char *section, const char *program, int type,
                             config_src_t src);
zv_command_switch *find_cs_entry(const char *name);
int load_config_pairs(const char *name, const char *value, int type, config_src_t src);
int dump_config(int level, config_src_t src);
// Where the value `option` holds was written, for a message about it: "the command line
// (-U, --receipt_socket)", "key K in section [S] of the configuration file (F)" (the
// section whose walk set it, or [default] standing in for it), or "the built-in default
// of O".
std::string zv_option_origin(const char *option);

// The getopt tables built by init_switches, and the usage page written from them.
const char *zv_short_options();
const struct option *zv_long_options();
void zv_usage(FILE *stream);

// Releases a loaded configuration file, so that the next reader loads it again.
void zv_config_release();
// Why the crypto library's CONF reader could not load `file`, which it reported as an
// error on line `eline`: "does not exist", "cannot be read: <reason>", or empty when the
// fault is in the file (the caller names the line). Line 0 is the reader's word for a
// file it could not open.
std::string zv_conf_load_failure(const char *file, long eline);

#endif
