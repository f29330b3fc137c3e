// Shared pieces of the runtime tests: a scratch installation (the working directories
// every role checks, a configuration file, a trading-partner file, keys and
// certificates), output captured from the logger, and the globals reset between cases.
#ifndef ZV_TESTS_RUNTIME_RUNTIME_TEST_UTIL_H
#define ZV_TESTS_RUNTIME_RUNTIME_TEST_UTIL_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace rtt {

// The directories that start-up checks for every role, created under `dir`, and the
// failover directory `failover` (relative to dir; empty = none).
void make_work_dirs(const std::string &dir, const std::string &failover = "failover");

// A configuration with the clientd, rclientd and failoverd sections, one ZVP_PROCESS
// section "zvp_a" (keys/zvp_a.key, keys/zvp_a.pem), the failover directory ./failover
// and the directory interface on ./in_dir. `extra_default` goes into [default].
std::string standard_conf(const std::string &extra_default = "");

// A trading-partner file with one endpoint served by zvp_a.
std::string standard_tpartner();

// A complete installation in a fresh scratch directory; returns its path. The key and
// certificate are made once per test process and copied.
std::string make_installation(const std::string &name, const std::string &conf,
                              bool with_dirs = true);

// Writes the key and certificate keys/<stem>.key and keys/<stem>.pem under dir.
void write_key_and_cert(const std::string &dir, const std::string &stem);

// What the logger wrote to standard output and standard error while `fn` ran.
struct Captured {
  std::string out;
  std::string err;
};
Captured capture(const std::function<void()> &fn);

// The lines of a text with the diagnostic prefix removed ("" where a line had none is
// kept as is); `prefixed` counts the lines that carried a well-formed prefix.
std::vector<std::string> strip_prefix(const std::string &text, int *prefixed = nullptr);

// True when `line` begins with a prefix for program and pid at thread slot `slot`.
bool has_prefix(const std::string &line, const std::string &program, int pid, int slot);

// Number of non-overlapping occurrences of `needle` in `hay`.
int count_of(const std::string &hay, const std::string &needle);

// Puts the option variables and the logger's globals back to a known state.
void reset_globals();

// A daemon started by a test; killed and reaped if the test leaves it running.
class Daemon {
 public:
  Daemon() = default;
  explicit Daemon(pid_t pid) : pid_(pid) {}
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;
  ~Daemon();
  pid_t pid() const { return pid_; }
  void reset(pid_t pid) { pid_ = pid; }
  bool alive() const;
  // Sends SIGTERM and waits for the exit status.
  int stop(int timeout_ms = 15000);

 private:
  pid_t pid_ = -1;
};

}  // namespace rtt

#endif
