// Helpers shared by the tests: scratch directories, files read back, real processes
// started under a chosen program name and waited for (daemons included), and RSA keys
// with self-signed certificates generated on the fly.
//
// Not thread-safe; call from the test's main thread.
#ifndef ZV_TESTS_SUPPORT_ZV_TEST_SUPPORT_H
#define ZV_TESTS_SUPPORT_ZV_TEST_SUPPORT_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zvtest {

// A fresh, empty directory under the build's test scratch area, unique per call.
std::string scratch_dir(const std::string &name);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &contents);
bool file_exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &path);  // sorted, without . and ..
std::vector<std::string> split_lines(const std::string &text);

// Puts a text into a fixed character array (an option variable, a record field), cut to
// fit and always terminated.
template <size_t N>
void set_text(char (&dst)[N], const std::string &text) {
  snprintf(dst, N, "%s", text.c_str());
}

// Path of a program built by this project, e.g. program_path("client/clientd").
std::string program_path(const std::string &relative);

// The outcome of a process: its exit status (or 128 + signal), and what it wrote.
struct RunResult {
  int status = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Starts `exe` with argv[0] = `argv0` (which chooses the role) and `args`, in `cwd`,
// standard output and error captured in files there (`<tag>.out`, `<tag>.err`).
// `before_exec`, when given, runs in the child right before the program is executed
// (after the output files are open); if it returns false the child exits with 123.
// Returns the child's pid.
pid_t start_program(const std::string &exe, const std::string &argv0,
                    const std::vector<std::string> &args, const std::string &cwd,
                    const std::string &tag = "run",
                    const std::function<bool()> &before_exec = {});

// For use in before_exec: removes the capabilities that let root ignore file
// permissions (DAC override, DAC read-search, file owner) from the bounding set, so
// the program executed next meets permissions like any other user. True when nothing
// needed dropping (not root) or the drop worked.
bool drop_file_privileges();

// Waits for a child started above; kills it after `timeout_ms`.
RunResult wait_program(pid_t pid, const std::string &cwd, const std::string &tag = "run",
                       int timeout_ms = 20000);

// start_program + wait_program.
RunResult run_program(const std::string &exe, const std::string &argv0,
                      const std::vector<std::string> &args, const std::string &cwd,
                      int timeout_ms = 20000);

// The test process adopts orphaned descendants, so a daemon whose parent has exited
// can still be waited for (wait_daemon) and its exit status read. Called once
// automatically by the helpers above.
void become_subreaper();

// Reads "<cwd>/<name>.pid" once it holds a number; -1 after timeout_ms.
pid_t wait_pid_file(const std::string &path, int timeout_ms = 10000);

// Waits for a descendant (not necessarily a child) to end; its exit status, 128 + signal,
// or -1 on timeout (the process is then killed with SIGKILL) and for a pid of 0 or below.
int wait_daemon(pid_t pid, int timeout_ms = 15000);

// Polls `cond` every 20 ms until it is true or timeout_ms have passed.
bool wait_for(const std::function<bool()> &cond, int timeout_ms = 10000);

// Writes an RSA key (PEM, traditional or PKCS#8 form as OpenSSL writes it) and a
// self-signed certificate with the given subject fields (empty ones are left out).
struct CertSpec {
  int bits = 2048;
  std::string common_name = "zvtest";
  std::string country;       // C
  std::string organization;  // O
};
void make_key_and_cert(const std::string &key_path, const std::string &cert_path,
                       const CertSpec &spec = {});

// A TCP port free on every local address, for a daemon that must be told its port in a
// configuration file. It comes from below the system's ephemeral range: a port that
// bind(0) handed out may be taken, before the daemon binds it, by a connection of a test
// running beside it. Claimed for the rest of the test process, so that no test beside it
// picks the same one.
int free_tcp_port();

// Runs a shell command; returns its exit status and fills `output` with stdout.
int shell(const std::string &command, std::string *output = nullptr);

// Lower-case hex of bytes.
std::string hex(const std::string &bytes);
std::string hex(const unsigned char *data, size_t len);

}  // namespace zvtest

#endif
