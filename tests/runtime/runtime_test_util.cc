#include "tests/runtime/runtime_test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"
#include "tests/support/zv_test_support.h"

namespace rtt {

void make_work_dirs(const std::string &dir, const std::string &failover) {
  for (const char *d : {"to_remote_failed_messages", "to_ssl_remote_failed_messages",
                        "from_remote_failed_messages", "from_ssl_remote_failed_messages",
                        "invalid_messages", "pending_receipts", "in_dir", "keys"})
    mkdir((dir + "/" + d).c_str(), 0755);
  if (!failover.empty()) mkdir((dir + "/" + failover).c_str(), 0755);
}

std::string standard_conf(const std::string &extra_default) {
  return "process_names = clientd, rclientd, failoverd, zvp_a\n"
         "failover_path = ./failover\n"
         "interface = dir\n"
         "indir = ./in_dir\n" +
         extra_default +
         "\n[clientd]\nprocess_type = CLIENT_PROCESS\n"
         "\n[rclientd]\nprocess_type = RECEIPT_PROCESS\n"
         "\n[failoverd]\nprocess_type = FAILOVER_PROCESS\n"
         "\n[zvp_a]\nprocess_type = ZVP_PROCESS\nzvversion = 3\n"
         "key = keys/zvp_a.key\ncert = keys/zvp_a.pem\npacing_delay = 10\n";
}

std::string standard_tpartner() {
  return "trading_partners = rc_partner1\n"
         "local_certificates = lc_a\n"
         "\n[lc_a]\nzvp_name = zvp_a\nendpoints = PARTNER1\n"
         "\n[PARTNER1]\nlocal_partner_id = TESTLOCAL\nremote_partner_id = PARTNER1\n"
         "ip_address = 127.0.0.1\nstandard_ip_port = 16999\nhipri_ip_port = 16998\n"
         "server_status = 1\nzv_message_to_tp = SIGNED_EDI\n"
         "zv_message_from_tp = INTEGRITY_EDI\nzv_receipt_from_tp = NO_RECEIPT\n"
         "zv_receipt_to_tp = NO_RECEIPT\n"
         "\n[rc_partner1]\ncertificate_common_name = partner1.test.invalid\nendpoints = PARTNER1\n";
}

void write_key_and_cert(const std::string &dir, const std::string &stem) {
  static std::string key_text, cert_text;
  if (key_text.empty()) {
    std::string tmp = zvtest::scratch_dir("keys");
    zvtest::make_key_and_cert(tmp + "/k.pem", tmp + "/c.pem", {});
    key_text = zvtest::read_file(tmp + "/k.pem");
    cert_text = zvtest::read_file(tmp + "/c.pem");
  }
  mkdir((dir + "/keys").c_str(), 0755);
  zvtest::write_file(dir + "/keys/" + stem + ".key", key_text);
  zvtest::write_file(dir + "/keys/" + stem + ".pem", cert_text);
}

std::string make_installation(const std::string &name, const std::string &conf,
                              bool with_dirs) {
  std::string dir = zvtest::scratch_dir(name);
  if (with_dirs) make_work_dirs(dir);
  write_key_and_cert(dir, "zvp_a");
  zvtest::write_file(dir + "/zolvar.conf", conf);
  zvtest::write_file(dir + "/tpartner.conf", standard_tpartner());
  return dir;
}

Captured capture(const std::function<void()> &fn) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  fn();
  fflush(stdout);
  Captured c;
  c.err = testing::internal::GetCapturedStderr();
  c.out = testing::internal::GetCapturedStdout();
  return c;
}

namespace {
const std::regex &prefix_re() {
  static const std::regex re(R"(^\d{8} \d{6}\.\d{3}:[^(]*\(\d{5,}:\d{2,}\):)");
  return re;
}
}  // namespace

std::vector<std::string> strip_prefix(const std::string &text, int *prefixed) {
  std::vector<std::string> lines;
  int n = 0;
  for (const std::string &line : zvtest::split_lines(text)) {
    std::smatch m;
    if (std::regex_search(line, m, prefix_re())) {
      ++n;
      lines.push_back(line.substr(static_cast<size_t>(m.length(0))));
    } else {
      lines.push_back(line);
    }
  }
  if (prefixed) *prefixed = n;
  return lines;
}

bool has_prefix(const std::string &line, const std::string &program, int pid, int slot) {
  char tail[128];
  snprintf(tail, sizeof tail, ":%s(%05d:%02d):", program.c_str(), pid, slot);
  std::regex re(R"(^\d{8} \d{6}\.\d{3})");
  return line.size() > 19 + strlen(tail) && std::regex_search(line, re) &&
         line.compare(19, strlen(tail), tail) == 0;
}

int count_of(const std::string &hay, const std::string &needle) {
  int n = 0;
  for (size_t pos = hay.find(needle); pos != std::string::npos;
       pos = hay.find(needle, pos + needle.size()))
    ++n;
  return n;
}

void reset_globals() {
  load_config_defaults();
  zv_config_release();
  snprintf(program, sizeof program, "%s", "clientd");
  mypid = 4242;
  debug_level = 0;
  verbose_flag = 0;
  zv_flushlogs = 0;
  zv_shutdown = 0;
  zv_log_close();
  logFileName[0] = errorFileName[0] = alertFileName[0] = '\0';
  keyFileName[0] = certificateFileName[0] = '\0';
}

Daemon::~Daemon() {
  if (pid_ > 0 && alive()) {
    kill(pid_, SIGKILL);
    zvtest::wait_daemon(pid_, 5000);
  }
}

bool Daemon::alive() const {
  if (pid_ <= 0 || kill(pid_, 0) != 0) return false;
  // A zombie answers kill() too; it has ended all the same.
  std::string stat = zvtest::read_file("/proc/" + std::to_string(pid_) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

int Daemon::stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int st = zvtest::wait_daemon(pid_, timeout_ms);
  pid_ = -1;
  return st;
}

}  // namespace rtt
