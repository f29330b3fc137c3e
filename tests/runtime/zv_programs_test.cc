// clientd and failoverd started as real processes in scratch installations: what a user
// sees on the standard streams, the exit statuses, the daemon and its signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using rtt::count_of;
using rtt::Daemon;

const std::string kInfo = "INFO: Using /dev/urandom as entropySource\n";

std::string clientd_exe() { return zvtest::program_path("client/clientd"); }
std::string failoverd_exe() { return zvtest::program_path("failover/failoverd"); }

struct Start {
  zvtest::RunResult parent;  // the process that forks the daemon
  pid_t daemon = -1;
};

// Starts a program and, when its parent leaves with 0, waits for the daemon's pid file.
Start start(const std::string &dir, const std::string &exe, const std::string &argv0,
            const std::vector<std::string> &args, const std::string &tag = "run",
            const std::function<bool()> &before_exec = {}) {
  Start s;
  pid_t p = zvtest::start_program(exe, argv0, args, dir, tag, before_exec);
  s.parent = zvtest::wait_program(p, dir, tag);
  if (s.parent.status == 0) {
    std::string name = argv0.substr(argv0.rfind('/') + 1);
    s.daemon = zvtest::wait_pid_file(dir + "/" + name + ".pid");
  }
  return s;
}

std::string out_of(const std::string &dir, const std::string &tag = "run") {
  return zvtest::read_file(dir + "/" + tag + ".out");
}
std::string err_of(const std::string &dir, const std::string &tag = "run") {
  return zvtest::read_file(dir + "/" + tag + ".err");
}

// The pid of a daemon, read from the prefix of its first line logged by the main thread.
pid_t pid_from_prefix(const std::string &text, const std::string &program) {
  std::smatch m;
  std::regex re(":" + program + R"(\((\d{5,}):00\):)");
  if (!std::regex_search(text, m, re)) return -1;
  return static_cast<pid_t>(std::stoi(m[1].str()));
}

// ---- options that end the program before any configuration is read ----------------

TEST(Programs, VersionAndUsageExitZero) {
  std::string dir = zvtest::scratch_dir("prog-version");
  auto v = zvtest::run_program(clientd_exe(), "clientd", {"-V"}, dir);
  EXPECT_EQ(v.status, 0);
  EXPECT_NE(v.out.find(std::string("\tusing OpenSSL ") + OpenSSL_version(OPENSSL_VERSION_STRING) +
                       " \n"),
            std::string::npos)
      << v.out;
  EXPECT_NE(v.out.find("Starting in COMBINED mode\n"), std::string::npos);
  EXPECT_EQ(v.err, "");

  auto vu = zvtest::run_program(failoverd_exe(), "failoverd", {"-V", "-u"}, dir);
  EXPECT_EQ(vu.status, 0);
  EXPECT_EQ(vu.out, v.out);
  EXPECT_EQ(vu.out.find("Usage:"), std::string::npos);

  auto u = zvtest::run_program(clientd_exe(), "clientd", {"-u"}, dir);
  EXPECT_EQ(u.status, 0);
  EXPECT_EQ(u.out.rfind("Usage: clientd [options] [target] ...\nOptions:\n", 0), 0u) << u.out;
  EXPECT_NE(u.out.find("\n  -r, --raw    Flag to force RAW text (not ASN1 message) transfer.\n"),
            std::string::npos);
  EXPECT_NE(u.out.find("\n  -q, --vhack  Self-signed issuer certificate verify hack flag.\n"),
            std::string::npos);
  EXPECT_NE(u.out.find("\n  -d DEPTH, --debug=DEPTH, --debuglevel=DEPTH\n"), std::string::npos);
  EXPECT_EQ(u.err, "");
  // Nothing was started and nothing written.
  EXPECT_EQ(zvtest::list_dir(dir), (std::vector<std::string>{"run.err", "run.out"}));
}

TEST(Programs, BadOptionsExitTwoWithTheUsagePageOnStandardError) {
  std::string dir = zvtest::scratch_dir("prog-badopt");
  auto u = zvtest::run_program(clientd_exe(), "clientd", {"-u"}, dir);
  struct Case {
    std::vector<std::string> args;
    std::string first;  // what comes before the usage page
  };
  const Case cases[] = {
      {{"-x"}, "clientd: invalid option -- 'x'\n"},
      {{"-d", "0"}, "the `-d' option requires a positive integer argument\n"},
      {{"-l", "0"}, "the `-l' option requires a positive integer argument\n"},
      {{"--clusternum=-1"}, "the `-l' option requires a positive integer argument\n"},
      {{"-n", "abc"}, "the `-n' option requires a positive integer argument\n"},
  };
  for (const Case &k : cases) {
    auto r = zvtest::run_program(clientd_exe(), "clientd", k.args, dir);
    EXPECT_EQ(r.status, 2) << k.args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, k.first + u.out) << k.args[0];
  }
}

// ---- start-up failures -------------------------------------------------------------

TEST(Programs, UnsupportedNameEndsBeforeTheFork) {
  std::string dir = rtt::make_installation("prog-xname", rtt::standard_conf());
  auto r = zvtest::run_program(clientd_exe(), "xclientd", {}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kInfo +
                       "FATAL ERROR: Encountered an unsupported program name (xclientd), only "
                       "names starting with c,r,s,h,i, or f are supported, terminating\n"
                       "Process exit with vZVExit()\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(zvtest::file_exists(dir + "/xclientd.pid"));
  EXPECT_FALSE(zvtest::file_exists(dir + "/tpacache.db"));
  EXPECT_FALSE(zvtest::file_exists(dir + "/zolvar.log"));
}

TEST(Programs, MissingConfigurationFileSaysItDoesNotExist) {
  std::string dir = zvtest::scratch_dir("prog-noconf");
  rtt::make_work_dirs(dir);
  for (const char *exe_name : {"clientd", "failoverd"}) {
    auto r = zvtest::run_program(std::string(exe_name) == "clientd" ? clientd_exe()
                                                                     : failoverd_exe(),
                                 exe_name, {}, dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err,
              "ERROR: The Zolvar configuration file (zolvar.conf) does not exist\n"
              "FATAL ERROR: Could not read \"zolvar.conf\" - cannot continue.\n");
  }
  auto other = zvtest::run_program(clientd_exe(), "clientd", {"-c", "elsewhere.conf"}, dir);
  EXPECT_EQ(other.status, 255);
  EXPECT_NE(other.err.find("(elsewhere.conf)"), std::string::npos);
}

TEST(Programs, MissingFailoverDirectoryStopsEveryRole) {
  std::string dir = rtt::make_installation("prog-nofo", rtt::standard_conf(), false);
  rtt::make_work_dirs(dir, "");
  for (const char *name : {"clientd", "rclientd", "failoverd"}) {
    auto r = zvtest::run_program(std::string(name) == "failoverd" ? failoverd_exe()
                                                                   : clientd_exe(),
                                 name, {}, dir);
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_EQ(r.err, kInfo +
                         "FATAL ERROR: Cannot find REQUIRED  directory ./failover\n"
                         "Cannot continue\nProcess exit with vZVExit()\n")
        << name;
  }
  // The failover path from the command line.
  auto r = zvtest::run_program(failoverd_exe(), "failoverd", {"-X", "/no/such/dir"}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("Cannot find REQUIRED  directory /no/such/dir\n"), std::string::npos);
}

TEST(Programs, ClientWithoutALocalIdentityStopsOnTheCertificateCheck) {
  std::string conf =
      "process_names = clientd\nfailover_path = ./failover\n"
      "[clientd]\nprocess_type = CLIENT_PROCESS\n";
  std::string dir = rtt::make_installation("prog-nozvp", conf);
  // The launcher waits for the daemon's start and leaves with its status.
  Start s = start(dir, clientd_exe(), "clientd", {});
  EXPECT_EQ(s.parent.status, 255) << s.parent.err;
  EXPECT_FALSE(zvtest::file_exists(dir + "/clientd.pid"));
  // The exit destroys the shared tables (each says so) before its last line.
  std::string err = err_of(dir);
  size_t fatal = err.find("FATAL ERROR: Cannot find REQUIRED file  (Own Certificate File)\n"
                          "Cannot continue\n");
  ASSERT_NE(fatal, std::string::npos) << err;
  EXPECT_NE(err.find("Process exit with vZVExit()\n", fatal), std::string::npos) << err;
}

// The launcher leaves once the daemon has started (failoverd: its store open) with 0, or
// once it has ended during its start with its status.
TEST(Programs, LauncherLeavesWithTheStatusOfTheStart) {
  std::string conf = rtt::standard_conf("outsocket = 127.0.0.1:1\n");
  conf.replace(conf.find("indir = ./in_dir"), 16, "indir = ./no_such_dir");
  std::string dir = rtt::make_installation("prog-launch", conf);
  Start bad = start(dir, clientd_exe(), "clientd", {}, "bad");
  EXPECT_EQ(bad.parent.status, 255) << bad.parent.err;
  EXPECT_NE(bad.parent.err.find("FATAL ERROR: Cannot find REQUIRED  directory ./no_such_dir\n"
                                "Cannot continue\n"),
            std::string::npos)
      << bad.parent.err;
  EXPECT_EQ(zvtest::split_lines(bad.parent.err).back(), "Process exit with vZVExit()");
  EXPECT_FALSE(zvtest::file_exists(dir + "/clientd.pid"));

  Start good = start(dir, failoverd_exe(), "failoverd", {}, "good");
  ASSERT_EQ(good.parent.status, 0) << good.parent.err;
  Daemon d(good.daemon);
  // Started means running with its store open, as the launcher returns.
  EXPECT_TRUE(d.alive());
  EXPECT_TRUE(zvtest::file_exists(dir + "/failover/failover.db"));
  EXPECT_EQ(good.parent.err.find("has not finished starting within"), std::string::npos)
      << "failoverd did not open its store within the launcher's bound\n"
      << good.parent.err;
  EXPECT_EQ(d.stop(), 0);
}

// A second start that fails, however it ends, leaves the pid file naming the daemon
// that runs.
TEST(Programs, FailedSecondStartLeavesThePidFile) {
  std::string dir =
      rtt::make_installation("prog-pidback", rtt::standard_conf("outsocket = 127.0.0.1:1\n"));
  Start first = start(dir, failoverd_exe(), "failoverd", {});
  ASSERT_EQ(first.parent.status, 0) << first.parent.err;
  Daemon d(first.daemon);
  const std::string pid_file = dir + "/failoverd.pid";
  const std::string first_pid = std::to_string(first.daemon);
  ASSERT_EQ(zvtest::read_file(pid_file), first_pid);

  // A store that cannot be opened: the daemon ends through the orderly exit.
  zvtest::write_file(dir + "/not_a_dir", "");
  Start store = start(dir, failoverd_exe(), "failoverd", {"-X", "./not_a_dir"}, "store");
  EXPECT_EQ(store.parent.status, 255) << store.parent.err;
  EXPECT_EQ(zvtest::read_file(pid_file), first_pid);

  // Killed while it waits for its partner file (a FIFO nobody writes): the launcher tells
  // the signal and gives the pid file back itself.
  ASSERT_EQ(mkfifo((dir + "/tp.fifo").c_str(), 0600), 0);
  pid_t launcher = zvtest::start_program(failoverd_exe(), "failoverd", {"-t", "tp.fifo"}, dir,
                                         "killed");
  pid_t second = -1;
  ASSERT_TRUE(zvtest::wait_for([&] {
    std::string text = zvtest::read_file(pid_file);
    if (text.empty() || text == first_pid) return false;
    second = static_cast<pid_t>(atoi(text.c_str()));
    return second > 0;
  })) << err_of(dir, "killed");
  ASSERT_GT(second, 0);
  kill(second, SIGKILL);
  zvtest::RunResult killed = zvtest::wait_program(launcher, dir, "killed");
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  EXPECT_NE(killed.err.find("FATAL ERROR: failoverd (pid " + std::to_string(second) +
                            ") was killed by signal 9 while starting\n"),
            std::string::npos)
      << killed.err;
  EXPECT_EQ(zvtest::read_file(pid_file), first_pid);
  EXPECT_TRUE(d.alive());
  EXPECT_EQ(d.stop(), 0);
}

// Names planted where a process writes, by a user who may write the installation
// directory: a link, a FIFO. A log file that is not a regular file of its own ends the
// start; a file written whole (the pid file, tpacache.db) is replaced, never written
// through or waited for; a log reopened while running is refused with a line and the
// process goes on. Nothing outside is written, nothing holds the process.
TEST(Programs, PlantedLinksAndFifosAreRefusedAndNothingWaits) {
  std::string dir =
      rtt::make_installation("prog-planted", rtt::standard_conf("failover_mode = N\n"));
  const std::string victim = dir + "/outside";
  zvtest::write_file(victim, "keep\n");
  ASSERT_EQ(symlink(victim.c_str(), (dir + "/zolvar.err").c_str()), 0);
  Start bad = start(dir, failoverd_exe(), "failoverd", {}, "bad");
  EXPECT_EQ(bad.parent.status, 255) << bad.parent.err;
  EXPECT_NE(bad.parent.err.find(
                "ERROR: refusing to open zolvar.err for writing: it is a symbolic link\n"),
            std::string::npos)
      << bad.parent.err;
  EXPECT_NE(bad.parent.err.find("FATAL ERROR: a log file is not a regular file of this "
                                "process's own (above) - cannot continue.\n"),
            std::string::npos)
      << bad.parent.err;
  EXPECT_FALSE(zvtest::file_exists(dir + "/failoverd.pid"));
  ASSERT_EQ(unlink((dir + "/zolvar.err").c_str()), 0);

  ASSERT_EQ(symlink(victim.c_str(), (dir + "/failoverd.pid").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/tpacache.db").c_str(), 0600), 0);
  Start good = start(dir, failoverd_exe(), "failoverd", {}, "good");
  ASSERT_EQ(good.parent.status, 0) << good.parent.err;
  Daemon d(good.daemon);
  struct stat st;
  ASSERT_EQ(lstat((dir + "/failoverd.pid").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(zvtest::read_file(dir + "/failoverd.pid"), std::to_string(good.daemon));

  ASSERT_EQ(unlink((dir + "/zolvar.log").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/zolvar.log").c_str(), 0600), 0);
  ASSERT_EQ(kill(good.daemon, SIGUSR1), 0);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return err_of(dir, "good").find("ERROR: refusing to open zolvar.log for writing: it is not "
                                    "a regular file\n") != std::string::npos;
  })) << err_of(dir, "good");
  EXPECT_TRUE(d.alive());
  EXPECT_EQ(d.stop(), 0);
  ASSERT_EQ(lstat((dir + "/tpacache.db").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(zvtest::read_file(dir + "/tpacache.db").rfind("Zolvar TPDB cache file v1.1\n", 0),
            0u);
  EXPECT_EQ(zvtest::read_file(victim), "keep\n");
  // Nothing is left under a temporary name.
  for (const std::string &f : zvtest::list_dir(dir)) {
    for (const std::string name : {"failoverd.pid", "tpacache.db"})
      EXPECT_TRUE(f == name || f.rfind(name, 0) != 0) << f;
  }
}

// A file-size limit kills neither the launcher, whose standard error is a file that its
// first line takes past the limit, nor the daemon: every write past it fails instead.
TEST(Programs, FileSizeLimitKillsNeitherTheLauncherNorTheDaemon) {
  std::string dir =
      rtt::make_installation("prog-fsize", rtt::standard_conf("failover_mode = N\n"));
  Start s = start(dir, failoverd_exe(), "failoverd", {}, "run", [] {
    struct rlimit small = {10, 10};
    return setrlimit(RLIMIT_FSIZE, &small) == 0;
  });
  ASSERT_EQ(s.parent.status, 0) << s.parent.err;
  Daemon d(s.daemon);
  EXPECT_TRUE(d.alive());
  EXPECT_EQ(s.parent.err, kInfo.substr(0, 10));
  EXPECT_EQ(d.stop(), 0);
}

TEST(Programs, SectionErrorsStopTheDaemon) {
  std::string conf = rtt::standard_conf() + "\n[rclientd]\nprocess_type = RECEIVER\n";
  // The later process_type of [rclientd] replaces the first.
  std::string dir = rtt::make_installation("prog-walkerr", conf);
  Start s = start(dir, clientd_exe(), "clientd", {});
  EXPECT_EQ(s.parent.status, 255) << s.parent.err;
  auto lines = rtt::strip_prefix(err_of(dir));
  auto has = [&](const std::string &l) {
    for (const auto &x : lines)
      if (x == l) return true;
    return false;
  };
  EXPECT_TRUE(has("ERROR: Cannot find a valid value for field (process_type) for process "
                  "[rclientd]. Found [RECEIVER], valid values are: CLIENT_PROCESS, "
                  "RECEIPT_PROCESS, STD_SERVER_PROCESS, HPR_SERVER_PROCESS, FAILOVER_PROCESS, "
                  "or ZVP_PROCESS"))
      << err_of(dir);
  // Start-up returns its failure and main exits with -1 directly, after one line that
  // says where the fault lies.
  EXPECT_EQ(lines.back(), "FATAL ERROR: Errors in \"zolvar.conf\" (above) - cannot continue.");
  EXPECT_EQ(count_of(err_of(dir), "skipping"), 0);
  EXPECT_EQ(count_of(err_of(dir), "Could not read"), 0);
}

TEST(Programs, TpconfigKeyInTheOwnSectionNamesThePartnerFile) {
  std::string conf = rtt::standard_conf() + "\n[clientd]\nTPconfig = own_tp.conf\n";
  std::string dir = rtt::make_installation("prog-tpconf", conf);
  Start s = start(dir, clientd_exe(), "clientd", {});
  EXPECT_EQ(s.parent.status, 255);
  EXPECT_NE(err_of(dir).find("own_tp.conf"), std::string::npos) << err_of(dir);

  zvtest::write_file(dir + "/own_tp.conf", rtt::standard_tpartner());
  Start again = start(dir, clientd_exe(), "clientd", {}, "again");
  ASSERT_EQ(again.parent.status, 0);
  Daemon d(again.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] { return out_of(dir, "again").find("TCIF-98-006 Issue 3") !=
                                            std::string::npos; }))
      << err_of(dir, "again");
  EXPECT_EQ(d.stop(), 0);
}

// ---- the daemon --------------------------------------------------------------------

TEST(Programs, ClientDaemonizesLogsAndStopsOnSigterm) {
  std::string dir = rtt::make_installation("prog-client", rtt::standard_conf());
  Start s = start(dir, clientd_exe(), "clientd", {});
  ASSERT_EQ(s.parent.status, 0) << s.parent.err;
  ASSERT_GT(s.daemon, 0);
  Daemon d(s.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return out_of(dir).find("TCIF-98-006 Issue 3 Revision 2 (12/2001)\n\n\n") != std::string::npos;
  })) << err_of(dir);
  EXPECT_EQ(zvtest::read_file(dir + "/clientd.pid"), std::to_string(s.daemon));

  // Standard output: the log file's start line, then the banner without prefix.
  std::string out = out_of(dir);
  auto out_lines = zvtest::split_lines(out);
  ASSERT_GE(out_lines.size(), 3u);
  EXPECT_TRUE(rtt::has_prefix(out_lines[0], "clientd", s.daemon, 0)) << out_lines[0];
  EXPECT_EQ(rtt::strip_prefix(out_lines[0])[0], "Starting clientd Process ==================");
  EXPECT_EQ(out_lines[1], "");
  EXPECT_EQ(out.find("Starting in COMBINED mode"), std::string::npos);
  // Standard error: the start note without prefix, then the error log's start line.
  std::string err = err_of(dir);
  auto err_lines = zvtest::split_lines(err);
  ASSERT_GE(err_lines.size(), 2u) << err;
  EXPECT_EQ(err_lines[0] + "\n", kInfo);
  EXPECT_TRUE(rtt::has_prefix(err_lines[1], "clientd", s.daemon, 0));
  EXPECT_EQ(rtt::strip_prefix(err_lines[1])[0], "Starting clientd Process ==================");
  for (const char *f : {"zolvar.log", "zolvar.err", "zolvar.alert"})
    EXPECT_TRUE(zvtest::file_exists(dir + "/" + f)) << f;

  // SIGHUP and SIGINT change nothing; SIGUSR1 reopens the log files at the next log call.
  kill(s.daemon, SIGHUP);
  kill(s.daemon, SIGINT);
  ASSERT_EQ(unlink((dir + "/zolvar.log").c_str()), 0);
  ASSERT_EQ(unlink((dir + "/zolvar.alert").c_str()), 0);
  kill(s.daemon, SIGUSR1);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return zvtest::file_exists(dir + "/zolvar.log") && zvtest::file_exists(dir + "/zolvar.alert");
  }));
  ASSERT_TRUE(zvtest::wait_for([&] {
    return count_of(out_of(dir), "Starting clientd Process") == 2 &&
           count_of(err_of(dir), "Starting clientd Process") == 2;
  })) << out_of(dir);
  EXPECT_TRUE(d.alive());

  EXPECT_EQ(d.stop(), 0);
  auto final_err = zvtest::split_lines(err_of(dir));
  EXPECT_EQ(final_err.back(), "Process exit with vZVExit()");
  EXPECT_EQ(count_of(err_of(dir), "Process exit with vZVExit()"), 1);
  // Nothing is written to the log files themselves.
  EXPECT_EQ(zvtest::read_file(dir + "/zolvar.log"), "");
  EXPECT_EQ(zvtest::read_file(dir + "/zolvar.err"), "");
}

// The shared tables' lock files: none at mm's own name in /tmp, none left in the private
// directory ($TMPDIR) or the working directory by a running daemon or by one killed
// with SIGKILL, so nothing piles up and the next start meets nothing.
TEST(Programs, KilledDaemonLeavesNoLockFile) {
  std::string dir = rtt::make_installation("prog-killed", rtt::standard_conf());
  const std::string tmp = dir + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  auto with_tmp = [&] { return setenv("TMPDIR", tmp.c_str(), 1) == 0; };
  auto banner = [&](const std::string &tag) {
    return zvtest::wait_for([&] {
      return out_of(dir, tag).find("Issue 3 Revision 2 (12/2001)\n\n\n") != std::string::npos;
    });
  };
  auto no_lock_file = [&](pid_t pid) {
    for (const std::string &f : zvtest::list_dir(dir))
      EXPECT_EQ(f.find(".sem"), std::string::npos) << f;
    EXPECT_TRUE(zvtest::list_dir(tmp).empty());
    EXPECT_FALSE(zvtest::file_exists("/tmp/mm.core." + std::to_string(pid) + ".sem"));
  };
  Start first = start(dir, clientd_exe(), "clientd", {}, "run", with_tmp);
  ASSERT_EQ(first.parent.status, 0) << first.parent.err;
  Daemon d(first.daemon);
  ASSERT_TRUE(banner("run")) << err_of(dir);
  no_lock_file(first.daemon);
  kill(first.daemon, SIGKILL);
  EXPECT_EQ(zvtest::wait_daemon(first.daemon), 128 + SIGKILL);
  d.reset(-1);
  no_lock_file(first.daemon);

  ASSERT_EQ(unlink((dir + "/clientd.pid").c_str()), 0);
  Start next = start(dir, clientd_exe(), "clientd", {}, "next", with_tmp);
  ASSERT_EQ(next.parent.status, 0) << next.parent.err;
  Daemon d2(next.daemon);
  ASSERT_TRUE(banner("next")) << err_of(dir, "next");
  EXPECT_EQ(d2.stop(), 0);
  no_lock_file(next.daemon);
}

TEST(Programs, ReceiptRoleFromALinkAndCaseInsensitiveNames) {
  std::string dir = rtt::make_installation("prog-receipt", rtt::standard_conf());
  ASSERT_EQ(symlink(clientd_exe().c_str(), (dir + "/rclientd").c_str()), 0);
  Start s = start(dir, dir + "/rclientd", "./rclientd", {"-d", "1"});
  ASSERT_EQ(s.parent.status, 0) << s.parent.err;
  Daemon d(s.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return out_of(dir).find("Issue 3 Revision 2") != std::string::npos;
  }));
  EXPECT_EQ(pid_from_prefix(out_of(dir), "rclientd"), s.daemon);
  EXPECT_NE(err_of(dir).find("THREAD_setup: created 33 locks\n"), std::string::npos);
  // The listed receipt section without its own address gives the default socket.
  EXPECT_NE(err_of(dir).find("Using default transport socket [127.0.0.1:8000] for receipt "
                             "process\n"),
            std::string::npos)
      << err_of(dir);

  // "Rclientd" is not listed in process_names: it runs the same role on [default] alone,
  // on the same socket, so the first one gives it up first.
  EXPECT_EQ(d.stop(), 0);
  Start upper = start(dir, clientd_exe(), "Rclientd", {}, "upper");
  ASSERT_EQ(upper.parent.status, 0) << upper.parent.err;
  Daemon du(upper.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return out_of(dir, "upper").find("Issue 3 Revision 2") != std::string::npos;
  }));
  EXPECT_EQ(du.stop(), 0);
}

TEST(Programs, FailoverdRoutesDebugLinesToStandardErrorAndTakesNoLockTable) {
  std::string dir =
      rtt::make_installation("prog-failover", rtt::standard_conf("outsocket = 127.0.0.1:1\n"));
  Start s = start(dir, failoverd_exe(), "failoverd", {"-d", "1"});
  ASSERT_EQ(s.parent.status, 0) << s.parent.err;
  Daemon d(s.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return err_of(dir).find("In FO_RECOVERYDONE_STATE in failoverd()") != std::string::npos;
  }));
  std::string out = out_of(dir), err = err_of(dir);
  char build_line[96];
  snprintf(build_line, sizeof build_line, ":failoverd(%05d:00):  BUILD_version: 3.1.1\n",
           static_cast<int>(s.daemon));
  EXPECT_NE(err.find(build_line), std::string::npos) << err;
  EXPECT_NE(err.find(std::string("  BUILD_openssl_ver: ") + OpenSSL_version(OPENSSL_VERSION_STRING) +
                     "\n"),
            std::string::npos);
  EXPECT_EQ(out.find("BUILD"), std::string::npos);
  EXPECT_EQ(err.find("THREAD_setup"), std::string::npos);
  EXPECT_EQ(d.stop(), 0);
}

TEST(Programs, PidFileThatCannotBeWrittenIsReportedAndIgnored) {
  std::string dir = rtt::make_installation("prog-pidblock", rtt::standard_conf());
  // As root a read-only directory is still writable, so a directory stands in the way.
  ASSERT_EQ(mkdir((dir + "/clientd.pid").c_str(), 0755), 0);
  pid_t p = zvtest::start_program(clientd_exe(), "clientd", {}, dir);
  auto parent = zvtest::wait_program(p, dir);
  ASSERT_EQ(parent.status, 0);
  pid_t daemon = -1;
  ASSERT_TRUE(zvtest::wait_for([&] {
    daemon = pid_from_prefix(out_of(dir), "clientd");
    return daemon > 0;
  })) << err_of(dir);
  Daemon d(daemon);
  EXPECT_NE(err_of(dir).find(kInfo + "Could not create pid file (clientd.pid), ignoring error.\n"),
            std::string::npos)
      << err_of(dir);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return out_of(dir).find("Issue 3 Revision 2") != std::string::npos;
  }));
  EXPECT_TRUE(d.alive());
  EXPECT_EQ(d.stop(), 0);
}

TEST(Programs, ReadOnlyWorkingDirectory) {
  std::string dir = rtt::make_installation("prog-readonly", rtt::standard_conf());
  // The program runs without root's power over file permissions, so the directory's
  // mode is what it meets.
  zvtest::write_file(dir + "/run.out", "");
  zvtest::write_file(dir + "/run.err", "");
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  pid_t p = zvtest::start_program(clientd_exe(), "clientd", {}, dir, "run",
                                  [] { return zvtest::drop_file_privileges(); });
  auto parent = zvtest::wait_program(p, dir);
  if (parent.status == 123) {
    chmod(dir.c_str(), 0755);
    GTEST_SKIP() << "cannot drop file privileges here";
  }
  ASSERT_EQ(parent.status, 0) << parent.err;
  pid_t daemon = -1;
  bool started = zvtest::wait_for([&] {
    daemon = pid_from_prefix(err_of(dir), "clientd");
    return out_of(dir).find("Issue 3 Revision 2") != std::string::npos;
  });
  chmod(dir.c_str(), 0755);
  ASSERT_TRUE(started) << err_of(dir);
  Daemon d(daemon);
  std::string err = err_of(dir);
  EXPECT_NE(err.find("Could not create pid file (clientd.pid), ignoring error.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Can't open zolvar.err, error Log to stderr"), std::string::npos);
  EXPECT_NE(err.find("Can't open zolvar.log, Log to stderr"), std::string::npos);
  EXPECT_NE(err.find("Can't open zolvar.alert, Logging all alerts to zolvar.err"),
            std::string::npos);
  EXPECT_FALSE(zvtest::file_exists(dir + "/clientd.pid"));
  EXPECT_EQ(d.stop(), 0);
}

TEST(Programs, ConfigurationDumpShowsWhereValuesCameFrom) {
  std::string conf =
      rtt::standard_conf("clusternum = 1\nreceiptmode = external\ndirpolldelay = -3\n") +
                     "\n[clientd]\ndirpolldelay = 9\n";
  std::string dir = rtt::make_installation("prog-dump", conf);
  Start s = start(dir, clientd_exe(), "clientd", {"-d", "2049", "-O"});
  ASSERT_EQ(s.parent.status, 0) << s.parent.err;
  Daemon d(s.daemon);
  ASSERT_TRUE(zvtest::wait_for([&] {
    return out_of(dir).find("Issue 3 Revision 2") != std::string::npos;
  }));
  std::string err = err_of(dir);
  auto block = [&](const std::string &label) {
    std::string head = "==== " + label + " configuration values ====\n";
    std::string tail = "== END " + label + " configuration values ==\n";
    size_t a = err.find(head);
    size_t b = err.find(tail, a);
    if (a == std::string::npos || b == std::string::npos) return std::string();
    return err.substr(a + head.size(), b - a - head.size());
  };
  EXPECT_NE(block("CFG_CLARGS  ").find("  INTEGER: debug = 2049\n"), std::string::npos) << err;
  EXPECT_NE(block("CFG_CLARGS  ").find("  FLAG: oneshot = 1\n"), std::string::npos);
  EXPECT_NE(block("CFG_DFLTSECT").find("  STRING: receiptmode = external\n"), std::string::npos);
  // A bad [default] value is reported on standard error before the logs are set up;
  // the own section's value still wins.
  EXPECT_NE(err.find("WARNING: Using 5 as default for dirpolldelay, found [-3] (not a number "
                     "from 1 to 2147483647)\n"),
            std::string::npos);
  EXPECT_NE(block("CFG_CFILE   ").find("  INTEGER: dirpolldelay = 9\n"), std::string::npos);
  // The listed receipt section is shifted by the cluster number.
  EXPECT_NE(block("CFG_CFILE   ").find("  STRING: receipt_socket = 127.0.0.1:8001\n"),
            std::string::npos);
  EXPECT_NE(block("CFG_DEFAULT ").find("  STRING: server_socket = 127.0.0.1:8001\n"),
            std::string::npos);
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
