#include "tests/failover/failover_test_util.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "failover/zv_failover.h"
#include "failover/zv_fodb.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_mappings.h"
#include "runtime/zv_options.h"
#include "runtime/zv_statsdb.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace fot {

using zvtest::set_text;

namespace {

const char *const kLogs[4] = {"client_trans.log", "receipt_trans.log", "server_trans.log",
                              "hipri_trans.log"};

}  // namespace

std::string isa_line(const std::string &receiver, const std::string &control) {
  std::string recv = (receiver + std::string(15, ' ')).substr(0, 15);
  std::string ctl = (control + std::string(9, '0')).substr(0, 9);
  std::string isa = "ISA*00*          *00*          *ZZ*SENDER         *ZZ*" + recv +
                    "*050101*1200*U*00401*" + ctl + "*0*P*>";
  EXPECT_EQ(isa.substr(54, 15), recv);
  EXPECT_EQ(isa.substr(90, 9), ctl);
  return isa;
}

void WorkDirTest::SetUp() {
  rtt::reset_globals();
  snprintf(program, sizeof program, "%s", "failoverd");
  debug_level = 1;
  dir_ = zvtest::scratch_dir("fo");
  ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  rtt::make_work_dirs(dir_, "failover");
  for (int i = 0; i < 8; ++i) {
    set_text(tran_logpath[i], kLogs[i % 4]);
    tran_logfile[i] = nullptr;
  }
  set_text(toRemoteFailedPath, "./to_remote_failed_messages");
  set_text(toSslRemoteFailedPath, "./to_ssl_remote_failed_messages");
  set_text(fromRemoteFailedPath, "./from_remote_failed_messages");
  set_text(fromSslRemoteFailedPath, "./from_ssl_remote_failed_messages");
  set_text(invalidPath, "./invalid_messages");
  set_text(alertFileName, "zolvar.alert");
  set_text(failoverPath, "./failover");
  memset(partner, 0, sizeof partner);
  failoverd[0] = '\0';
  iFdReceiptPipe = -1;
  ASSERT_EQ(vInitDBs(), 0);
}

void WorkDirTest::TearDown() {
  vCleanupDBs();
  for (FILE *&f : tran_logfile) {
    if (f && f != stderr) fclose(f);
    f = nullptr;
  }
  if (iFdReceiptPipe >= 0) close(iFdReceiptPipe);
  iFdReceiptPipe = -1;
  ASSERT_EQ(chdir(old_cwd_), 0);
}

Trans_ctl_rec WorkDirTest::record(int who, std::string &out, const std::string &receiver) {
  Trans_ctl_rec t;
  memset(&t, 0, sizeof t);
  t.who = who;
  t.msg_type = ZV_MT_BASIC_EDI;
  t.iPriority = who == ZV_WHO_HPRI_SERVER ? 1 : 0;
  set_text(t.isa_line, isa_line(receiver));
  t.status = -999;
  t.tp_index = -1;
  t.obufferp = out.data();
  t.obuf_length = static_cast<int>(out.size());
  return t;
}

std::vector<std::string> WorkDirTest::trans_lines(int who) const {
  for (FILE *f : tran_logfile)
    if (f && f != stderr) fflush(f);
  return zvtest::split_lines(zvtest::read_file(dir_ + "/" + kLogs[who % 4]));
}

namespace {

std::string decode_dump_line(const std::string &line) {
  // db_dump -p: a leading blank, printable bytes as they are, "\\" for a backslash
  // and "\xx" (two hex digits) for any other byte.
  std::string out;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] != '\\') {
      out += line[i];
    } else if (i + 1 < line.size() && line[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 2 < line.size()) {
      out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::string shell_quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

void open_store(const std::string &home, DB_ENV **env, DB **db) {
  set_text(failoverPath, home);
  ASSERT_EQ(init_fodb(env), 0) << home;
  ASSERT_EQ(open_fodb1(*env, db), 0) << home;
}

void store_raw(DB *db, const std::string &key_text, const std::string &data) {
  DBT key = key_dbt(key_text);
  DBT val = data_dbt(data);
  ASSERT_EQ(store_fodb(db, &key, &val), 0) << key_text;
}

void fill_store(const std::string &dir, const std::vector<StoreMsg> &msgs) {
  set_text(failoverPath, dir + "/failover");
  debug_level = 0;
  failoverd[0] = '\0';
  ASSERT_EQ(init_failover(), 0);
  ASSERT_EQ(change_state(FO_FAILOVER), 0);
  for (size_t i = 0; i < msgs.size(); ++i) {
    const StoreMsg &m = msgs[i];
    std::string body = m.body;
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.who = m.priority ? ZV_WHO_HPRI_SERVER : ZV_WHO_STD_SERVER;
    t.iPriority = m.priority;
    t.msg_type = ZV_MT_BASIC_EDI;
    set_text(t.isa_line, isa_line(m.receiver));
    t.obufferp = body.data();
    t.obuf_length = static_cast<int>(body.size());
    ASSERT_EQ(failover_write(&t), 0) << i;
  }
  release_failover();
}

std::vector<std::pair<std::string, std::string>> db_dump_records(const std::string &home,
                                                                 bool *ok, std::string *header) {
  std::string text;
  int st = zvtest::shell("db_dump -p " + shell_quote(home + "/failover.db") + " 2>&1", &text);
  if (ok) *ok = st == 0;
  EXPECT_EQ(st, 0) << text;
  std::vector<std::pair<std::string, std::string>> records;
  bool in_data = false;
  std::string key;
  bool have_key = false;
  for (const std::string &line : zvtest::split_lines(text)) {
    if (line == "HEADER=END") {
      in_data = true;
      continue;
    }
    if (line == "DATA=END") break;
    if (!in_data) {
      if (header) *header += line + "\n";
      continue;
    }
    if (line.empty() || line[0] != ' ') continue;
    if (!have_key) {
      key = decode_dump_line(line);
      have_key = true;
    } else {
      records.emplace_back(key, decode_dump_line(line));
      have_key = false;
    }
  }
  return records;
}

std::vector<std::string> db_dump_keys(const std::string &home, bool *ok) {
  std::vector<std::string> keys;
  for (auto &[k, v] : db_dump_records(home, ok)) {
    std::string key = k;
    if (!key.empty() && key.back() == '\0') key.pop_back();
    keys.push_back(key);
  }
  return keys;
}

int db_verify_status(const std::string &home, std::string *output) {
  std::string text;
  int st = zvtest::shell("db_verify " + shell_quote(home + "/failover.db") + " 2>&1", &text);
  if (output) *output = text;
  return st;
}

int db_recover_status(const std::string &home, std::string *output) {
  std::string text;
  int st = zvtest::shell("db_recover -h " + shell_quote(home) + " 2>&1", &text);
  if (output) *output = text;
  return st;
}

namespace {

// "<home>/__db." with the home as the kernel names it; a region file is that and digits.
std::string region_prefix(const std::string &home) {
  char real[PATH_MAX];
  return std::string(realpath(home.c_str(), real) != nullptr ? real : home.c_str()) + "/__db.";
}

bool digits_after(const std::string &path, size_t at) {
  return path.size() > at && path.find_first_not_of("0123456789", at) == std::string::npos;
}

}  // namespace

RegionFiles region_files_on_disk(const std::string &home) {
  RegionFiles files;
  DIR *d = opendir(home.c_str());
  if (d == nullptr) return files;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    struct stat st;
    if (name.rfind("__db.", 0) == 0 && digits_after(name, 5) &&
        stat((home + "/" + name).c_str(), &st) == 0)
      files.inodes.insert(static_cast<unsigned long>(st.st_ino));
  }
  closedir(d);
  return files;
}

RegionFiles region_files_mapped(pid_t pid, const std::string &home) {
  const std::string prefix = region_prefix(home);
  RegionFiles files;
  std::set<unsigned long> deleted;
  for (const zv_mapping_t &m : zv_file_mappings(pid, prefix)) {
    if (!digits_after(m.path, prefix.size())) continue;
    files.inodes.insert(m.inode);
    if (m.deleted) deleted.insert(m.inode);
  }
  files.deleted = static_cast<int>(deleted.size());
  return files;
}

std::string failoverd_installation(const std::string &name, const std::string &outsocket,
                                   const std::string &extra_default,
                                   const std::string &extra_own) {
  std::string conf = rtt::standard_conf("outsocket = " + outsocket + "\n" + extra_default);
  const std::string own = "[failoverd]\nprocess_type = FAILOVER_PROCESS\n";
  size_t at = conf.find(own);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) conf.insert(at + own.size(), extra_own);
  return rtt::make_installation(name, conf);
}

Failoverd::~Failoverd() {
  stop_poking();
  if (pid_ > 0 && kill(pid_, 0) == 0) kill9();
}

bool Failoverd::start(const std::vector<std::string> &args, const std::string &tag,
                      int *parent_status) {
  unlink((dir_ + "/failoverd.pid").c_str());
  std::function<bool()> before_exec;
  if (clock_ == Clock::fast) {
    before_exec = [] {
      // The sanitizers' runtime wants to come first among the preloaded files.
      const char *asan = getenv("ASAN_OPTIONS");
      std::string options = std::string(asan && *asan ? std::string(asan) + ":" : "") +
                            "verify_asan_link_order=0";
      std::string shim = zvtest::program_path("tests/failover/libfo_fast_clock.so");
      return setenv("LD_PRELOAD", shim.c_str(), 1) == 0 &&
             setenv("ASAN_OPTIONS", options.c_str(), 1) == 0;
    };
  }
  pid_t p = zvtest::start_program(zvtest::program_path("failover/failoverd"), "failoverd", args,
                                  dir_, tag, before_exec);
  zvtest::RunResult parent = zvtest::wait_program(p, dir_, tag);
  if (parent_status) *parent_status = parent.status;
  if (parent.status != 0) return false;
  pid_ = zvtest::wait_pid_file(dir_ + "/failoverd.pid");
  return pid_ > 0;
}

namespace {

// Whether process `pid` catches SIGHUP.
bool catches_sighup(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (SIGHUP - 1)) & 1;
    }
  }
  return false;
}

// The densest poking: a hundred signals a second.
constexpr int kPokeFloorUs = 10000;

}  // namespace

bool Failoverd::handlers_ready() const { return catches_sighup(pid_); }

bool Failoverd::opened_empty_store(const std::string &tag) const {
  return zvtest::wait_for(
      [&] { return err(tag).find("failoverd:fo seqno_START = 0\n") != std::string::npos; });
}

void Failoverd::start_poking(int interval_us) {
  stop_poking();
  poking_ = true;
  // The thread works on its own copy of the pid: pid_ is the test thread's, which clears
  // it when the daemon is gone.
  pid_t pid = pid_;
  // No pause ends on a signal: a denser storm than a daemon must ride out would only
  // load a busy machine.
  interval_us = std::max(interval_us, kPokeFloorUs);
  poker_ = std::thread([this, pid, interval_us] {
    bool ready = false;
    while (poking_) {
      if (!ready) ready = catches_sighup(pid);
      if (ready) kill(pid, SIGHUP);
      usleep(static_cast<useconds_t>(interval_us));
    }
  });
}

void Failoverd::stop_poking() {
  poking_ = false;
  if (poker_.joinable()) poker_.join();
}

int Failoverd::stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  stop_poking();
  kill(pid_, SIGTERM);
  start_poking(20000);
  int st = zvtest::wait_daemon(pid_, timeout_ms);
  stop_poking();
  pid_ = -1;
  return st;
}

int Failoverd::kill9() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGKILL);
  int st = zvtest::wait_daemon(pid_, 10000);
  stop_poking();
  pid_ = -1;
  return st;
}

int Failoverd::wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int st = zvtest::wait_daemon(pid_, timeout_ms);
  stop_poking();
  pid_ = -1;
  return st;
}

std::string Failoverd::err(const std::string &tag) const {
  return zvtest::read_file(dir_ + "/" + tag + ".err");
}
std::string Failoverd::out(const std::string &tag) const {
  return zvtest::read_file(dir_ + "/" + tag + ".out");
}

}  // namespace fot
