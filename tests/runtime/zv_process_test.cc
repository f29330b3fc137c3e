#include "runtime/zv_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using rtt::capture;
using rtt::strip_prefix;

class Process : public testing::Test {
 protected:
  void SetUp() override {
    rtt::reset_globals();
    dir_ = zvtest::scratch_dir("process");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd_.c_str()), 0);
    rtt::reset_globals();
  }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  std::string dir_;
  std::string cwd_;
};

// ---- file utilities ----------------------------------------------------------------

TEST_F(Process, FileExistsSizeRemoveRename) {
  zvtest::write_file(path("a"), "hello");
  EXPECT_EQ(iFileExists(path("a").c_str()), 1);
  EXPECT_EQ(iFileExists(dir_.c_str()), 1);  // the kind of file is not tested
  EXPECT_EQ(iFileExists(path("missing").c_str()), 2);
  EXPECT_EQ(iFileExists(""), 2);
  EXPECT_EQ(iFileSize(path("a").c_str()), 5);
  EXPECT_EQ(iFileSize(path("missing").c_str()), -1);
  EXPECT_EQ(iFileSize(""), -1);

  zvtest::write_file(path("b"), "other");
  EXPECT_EQ(iFileRename(path("a").c_str(), path("b").c_str()), 1);  // target exists
  EXPECT_EQ(zvtest::read_file(path("a")), "hello");
  EXPECT_EQ(zvtest::read_file(path("b")), "other");
  EXPECT_EQ(iFileRename(path("a").c_str(), path("c").c_str()), 0);
  EXPECT_FALSE(zvtest::file_exists(path("a")));
  EXPECT_EQ(zvtest::read_file(path("c")), "hello");
  EXPECT_EQ(iFileRename(path("a").c_str(), path("d").c_str()), -1);

  EXPECT_EQ(iFileRemove(path("c").c_str()), 0);
  EXPECT_FALSE(zvtest::file_exists(path("c")));
  EXPECT_EQ(iFileRemove(path("c").c_str()), -1);
  EXPECT_EQ(iFileRemove(""), -1);
}

TEST_F(Process, FileUtilitiesWithoutANameAssert) {
  auto c = capture([] {
    EXPECT_EQ(iFileExists(nullptr), 2);
    EXPECT_EQ(iFileSize(nullptr), -1);
    EXPECT_EQ(iFileRemove(nullptr), -1);
    EXPECT_EQ(iFileRename(nullptr, "x"), -1);
    EXPECT_EQ(iSearchDir(nullptr, "x"), -1);
    EXPECT_EQ(safe_rename(nullptr, "x", "/tmp", "zv", 1), -1);
  });
  auto lines = zvtest::split_lines(c.err);
  ASSERT_EQ(lines.size(), 6u) << c.err;
  for (const auto &l : lines)
    EXPECT_TRUE(l.rfind("ASSERT Failed: zv_filesup: line ", 0) == 0 && l.size() > 32) << l;
}

TEST_F(Process, SearchDir) {
  zvtest::write_file(path("target.edi"), "x");
  debug_level = 1;
  auto c = capture([&] {
    EXPECT_EQ(iSearchDir(dir_.c_str(), "target.edi"), 1);
    EXPECT_EQ(iSearchDir(dir_.c_str(), "target"), 0);
    EXPECT_EQ(iSearchDir(path("nodir").c_str(), "x"), -1);
  });
  EXPECT_EQ(strip_prefix(c.err), (std::vector<std::string>{
                                     "found target.edi",
                                     "ERROR: cannot open " + path("nodir") + " - exiting",
                                 }));
}

TEST_F(Process, SafeRenameToTheWantedName) {
  mkdir(path("out").c_str(), 0755);
  zvtest::write_file(path("src"), "payload");
  auto c = capture([&] {
    EXPECT_EQ(safe_rename(path("src").c_str(), "done.edi", path("out").c_str(), "zvr", 1), 0);
  });
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(zvtest::read_file(path("out/done.edi")), "payload");
  EXPECT_FALSE(zvtest::file_exists(path("src")));
}

TEST_F(Process, SafeRenameFallsBackToAFreshNameInTheSameDirectory) {
  mkdir(path("out").c_str(), 0755);
  // The wanted path is a directory that is not empty: a file cannot replace it.
  mkdir(path("out/done.edi").c_str(), 0755);
  zvtest::write_file(path("out/done.edi/keep"), "k");
  zvtest::write_file(path("src"), "payload");
  auto c = capture([&] {
    EXPECT_EQ(safe_rename(path("src").c_str(), "done.edi", path("out").c_str(), "zvr", 1), 0);
  });
  auto names = zvtest::list_dir(path("out"));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "done.edi");
  ASSERT_EQ(names[1].rfind("zvr", 0), 0u) << names[1];
  EXPECT_EQ(names[1].size(), 9u);
  EXPECT_EQ(zvtest::read_file(path("out/" + names[1])), "payload");
  EXPECT_EQ(strip_prefix(c.err),
            std::vector<std::string>{"WARNING: Cannot rename " + path("src") + " to " +
                                     path("out/done.edi") + ".  Will rename to " +
                                     path("out/" + names[1])});
}

TEST_F(Process, SafeRenameFallsBackToTmp) {
  // Neither the wanted path nor a fresh name can be made in a missing directory.
  char tmpl[] = "/tmp/zvsrcXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string src = std::string(tmpl) + "/src";
  zvtest::write_file(src, "payload");
  std::string prefix = "zvt" + std::to_string(getpid() % 1000);
  auto c = capture([&] {
    EXPECT_EQ(safe_rename(src.c_str(), "x.edi", path("missing").c_str(), prefix.c_str(), 1), 0);
  });
  auto lines = strip_prefix(c.err);
  ASSERT_EQ(lines.size(), 1u) << c.err;
  std::string head = "WARNING: Error encountered in rename().  Must rename " + src + " to /tmp/" + prefix;
  ASSERT_EQ(lines[0].rfind(head, 0), 0u) << lines[0];
  std::string moved = lines[0].substr(lines[0].find(" to ") + 4);
  moved.pop_back();  // the full stop
  EXPECT_EQ(zvtest::read_file(moved), "payload");
  EXPECT_FALSE(zvtest::file_exists(src));
  unlink(moved.c_str());
  rmdir(tmpl);
}

TEST_F(Process, SafeRenameFailureReturnsOrAborts) {
  std::string src = path("absent");
  auto c = capture([&] {
    EXPECT_EQ(safe_rename(src.c_str(), "x", dir_.c_str(), "zvf", 0), -1);
  });
  auto lines = strip_prefix(c.err);
  ASSERT_EQ(lines.size(), 2u) << c.err;
  EXPECT_EQ(lines[1], "ERROR: Error encountered in attempting to rename " + src + " to " +
                          path("x") + ".");
  // No fresh file is left behind.
  EXPECT_TRUE(zvtest::list_dir(dir_).empty()) << zvtest::list_dir(dir_).size();
  EXPECT_DEATH(safe_rename(src.c_str(), "x", dir_.c_str(), "zvf", 1),
               "FATAL ERROR: Error encountered in attempting to rename .*absent to .*/x\\.");
  // The rename that never replaces only reports a source someone else took away: there is
  // nothing left whose outcome a stop would keep.
  c = capture([&] { EXPECT_EQ(safe_rename_new(src.c_str(), "x", dir_.c_str(), "zvf", 1), -1); });
  EXPECT_EQ(strip_prefix(c.err), (std::vector<std::string>{"WARNING: " + src +
                                                           " is no longer there, not renamed to " +
                                                           path("x")}));
  EXPECT_TRUE(zvtest::list_dir(dir_).empty());
}

std::atomic<int> usr2_seen{0};
void on_usr2(int) { ++usr2_seen; }

// A sleep lasts its whole time on the monotonic clock however many signals cut it short
// (a pacing delay of 1000 ms under a storm); only a stop ends it early.
TEST_F(Process, MillisleepHoldsItsDeadlineUnderSignalsAndEndsAtAStop) {
  struct sigaction sa {};
  sa.sa_handler = on_usr2;  // without SA_RESTART: every signal cuts the sleep
  sigaction(SIGUSR2, &sa, nullptr);
  pthread_t self = pthread_self();
  // Until the storm has reached the sleep at least once.
  for (int round = 0; round < 5 && usr2_seen == 0; ++round) {
    std::atomic<bool> asleep{true};
    std::thread storm([&] {
      while (asleep) {
        pthread_kill(self, SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    usr2_seen = 0;
    auto t0 = std::chrono::steady_clock::now();
    int rc = millisleep(1000);
    auto slept = std::chrono::steady_clock::now() - t0;
    int seen = usr2_seen;
    asleep = false;
    storm.join();
    usr2_seen = seen;
    EXPECT_EQ(rc, 0);
    EXPECT_GE(slept, std::chrono::milliseconds(1000)) << seen << " signals";
  }
  EXPECT_GT(usr2_seen.load(), 0) << "no signal reached the sleep";

  std::thread stop([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    zv_shutdown = 1;
  });
  auto t0 = std::chrono::steady_clock::now();
  int rc = millisleep(30000);
  int err = errno;
  stop.join();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, EINTR);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  signal(SIGUSR2, SIG_DFL);
}

// The stop interrupts a blocked call (EINTR), so that the loop around it sees the flag;
// a signal that only sets a flag (a log reopen) restarts it.
TEST_F(Process, OnlyTheStopInterruptsABlockedCall) {
  const int sigs[] = {SIGHUP, SIGINT, SIGUSR1, SIGTERM, SIGALRM, SIGPIPE, SIGCHLD, SIGIO};
  struct sigaction old[sizeof sigs / sizeof sigs[0]];
  for (size_t i = 0; i < sizeof sigs / sizeof sigs[0]; ++i) sigaction(sigs[i], nullptr, &old[i]);
  init_signal_handlers();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> again{false};
  std::atomic<ssize_t> got[2] = {9, 9};
  std::atomic<int> err[2] = {0, 0};
  std::thread reader([&] {
    tid = gettid();
    for (int i = 0; i < 2; ++i) {
      while (i == 1 && !again) std::this_thread::yield();
      char c;
      ssize_t n = read(fds[0], &c, 1);
      err[i] = n < 0 ? errno : 0;
      got[i] = n;
    }
  });
  // Blocked in its read: sleeping.
  ASSERT_TRUE(zvtest::wait_for([&] {
    if (tid == 0) return false;
    std::string st = zvtest::read_file("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
    return st.find(") S ") != std::string::npos;
  }));
  zv_flushlogs = 0;
  ASSERT_TRUE(zvtest::wait_for([&] {
    pthread_kill(reader.native_handle(), SIGUSR1);
    return zv_flushlogs == 1;
  }));
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  ASSERT_TRUE(zvtest::wait_for([&] { return got[0] != 9; }));
  EXPECT_EQ(got[0].load(), 1) << "the reopen request interrupted the read: " << strerror(err[0]);
  again = true;
  // Sent until the read it reaches returns.
  ASSERT_TRUE(zvtest::wait_for([&] {
    pthread_kill(reader.native_handle(), SIGTERM);
    return got[1] != 9;
  }));
  reader.join();
  EXPECT_EQ(got[1].load(), -1);
  EXPECT_EQ(err[1].load(), EINTR);
  EXPECT_EQ(zv_shutdown.load(), 1);
  close(fds[0]);
  close(fds[1]);
  for (size_t i = 0; i < sizeof sigs / sizeof sigs[0]; ++i) sigaction(sigs[i], &old[i], nullptr);
}

TEST_F(Process, PidFileHoldsThePidWithoutNewline) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  mypid = 31337;
  EXPECT_EQ(pid_file("clientd"), 0);
  EXPECT_EQ(zvtest::read_file(path("clientd.pid")), "31337");
  // A directory in the way of the pid file.
  mkdir(path("blocked.pid").c_str(), 0755);
  EXPECT_EQ(pid_file("blocked"), -1);

  // A link at the name is replaced, never written through; the old file is not read
  // through it either (its text would be written back).
  zvtest::write_file(path("victim"), "keep");
  ASSERT_EQ(symlink(path("victim").c_str(), path("linked.pid").c_str()), 0);
  EXPECT_EQ(pid_file("linked"), 0);
  EXPECT_EQ(zvtest::read_file(path("linked.pid")), "31337");
  EXPECT_EQ(zvtest::read_file(path("victim")), "keep");
  // Given back only while it still names this process: another one that started
  // meanwhile keeps its pid file.
  zvtest::write_file(path("linked.pid"), "4242");
  pid_file_give_back();
  EXPECT_EQ(zvtest::read_file(path("linked.pid")), "4242");
  zvtest::write_file(path("clientd.pid"), "777");
  EXPECT_EQ(pid_file("clientd"), 0);
  pid_file_give_back();
  EXPECT_EQ(zvtest::read_file(path("clientd.pid")), "777");
  // Nothing is left under a temporary name.
  EXPECT_EQ(zvtest::list_dir(dir_),
            (std::vector<std::string>{"blocked.pid", "clientd.pid", "linked.pid", "victim"}));
}

// ---- required files and directories ------------------------------------------------

TEST_F(Process, VerifyDirAndFileReturnWhenThePathExists) {
  zvtest::write_file(path("f"), "");
  verify_dir(dir_.c_str());
  verify_dir(path("f").c_str());  // existence only
  vVerifyFile(path("f").c_str(), "Some File");
  SUCCEED();
}

TEST_F(Process, VerifyDirAndFileExitWithTheirTexts) {
  std::string missing = path("missing");
  EXPECT_EXIT(verify_dir(missing.c_str()), testing::ExitedWithCode(255),
              "^FATAL ERROR: Cannot find REQUIRED  directory " + missing +
                  "\nCannot continue\nProcess exit with vZVExit\\(\\)\n$");
  EXPECT_EXIT(vVerifyFile(missing.c_str(), "Own Certificate File"),
              testing::ExitedWithCode(255),
              "^FATAL ERROR: Cannot find REQUIRED file " + missing +
                  " \\(Own Certificate File\\)\nCannot continue\n");
  EXPECT_EXIT(vVerifyFile("", "Own Certificate File"), testing::ExitedWithCode(255),
              "^FATAL ERROR: Cannot find REQUIRED file  \\(Own Certificate File\\)\n");
  zvtest::write_file(path("plain"), "");
  std::string below = path("plain/sub");
  EXPECT_EXIT(verify_dir(below.c_str()), testing::ExitedWithCode(255),
              "^FATAL ERROR: Attempting to stat\\(\\) " + below + "\nCannot continue\n");
  EXPECT_EXIT(vVerifyFile(below.c_str(), "X"), testing::ExitedWithCode(255),
              "^FATAL ERROR: Attempting to stat\\(\\) REQUIRED file " + below +
                  " \\(X\\)\nCannot continue\n");
}

TEST_F(Process, VerifyReportsAPathItMayNotSearch) {
  if (geteuid() != 0) GTEST_SKIP() << "needs to give up root for the check";
  mkdir(path("closed").c_str(), 0700);
  std::string inside = path("closed/x");
  // chmod the scratch path so the unprivileged user can reach "closed" but not inside.
  chmod(dir_.c_str(), 0755);
  auto as_nobody = [](const std::function<void()> &fn) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    fn();
  };
  EXPECT_EXIT(as_nobody([&] { verify_dir(inside.c_str()); }), testing::ExitedWithCode(255),
              "FATAL ERROR: Cannot access REQUIRED  directory " + inside + "\nCannot continue\n");
  EXPECT_EXIT(as_nobody([&] { vVerifyFile(inside.c_str(), "Y"); }),
              testing::ExitedWithCode(255),
              "FATAL ERROR: Cannot access REQUIRED file " + inside + " \\(Y\\)\nCannot continue\n");
}

class Roles : public Process {
 protected:
  void SetUp() override {
    Process::SetUp();
    rtt::make_work_dirs(dir_);
    snprintf(failoverd_dir_path, sizeof failoverd_dir_path, "%s", path("failover").c_str());
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
};

TEST_F(Roles, FirstLetterChoosesTheRole) {
  struct Case {
    const char *name;
    zv_process_t role;
  };
  const Case cases[] = {
      {"clientd", ZV_CLIENT_PROCESS},     {"Clientd", ZV_CLIENT_PROCESS},
      {"rclientd", ZV_RECEIPT_PROCESS},   {"Rclientd", ZV_RECEIPT_PROCESS},
      {"failoverd", ZV_FAILOVER_PROCESS}, {"server", ZV_STD_SERVER_PROCESS},
      {"hserver", ZV_HPRI_SERVER_PROCESS}, {"izvp", ZV_SSL_PROCESS},
  };
  for (const Case &k : cases) {
    snprintf(program, sizeof program, "%s", k.name);
    zv_shutdown = 1;
    zv_flushlogs = 1;
    init_globals();
    EXPECT_EQ(zv_process_id, k.role) << k.name;
    EXPECT_EQ(zv_shutdown.load(), 0);
    EXPECT_EQ(zv_flushlogs.load(), 0);
  }
}

TEST_F(Roles, UnsupportedNamesEndTheProcess) {
  for (const char *name : {"xclientd", "1clientd", "", "zz", "aclient"}) {
    snprintf(program, sizeof program, "%s", name);
    EXPECT_EXIT(init_globals(), testing::ExitedWithCode(255),
                "^FATAL ERROR: Encountered an unsupported program name \\(" + std::string(name) +
                    "\\), only names starting with c,r,s,h,i, or f are supported, "
                    "terminating\nProcess exit with vZVExit\\(\\)\n$");
  }
}

TEST_F(Roles, DefaultsOfNamesAndSettings) {
  snprintf(program, sizeof program, "%s", "clientd");
  verify_hack_flag = 1;
  init_globals();
  EXPECT_STREQ(logFileName, "zolvar.log");
  EXPECT_STREQ(errorFileName, "zolvar.err");
  EXPECT_STREQ(alertFileName, "zolvar.alert");
  EXPECT_STREQ(logPath, "./");
  EXPECT_STREQ(toRemoteFailedPath, "./to_remote_failed_messages");
  EXPECT_STREQ(toSslRemoteFailedPath, "./to_ssl_remote_failed_messages");
  EXPECT_STREQ(fromRemoteFailedPath, "./from_remote_failed_messages");
  EXPECT_STREQ(fromSslRemoteFailedPath, "./from_ssl_remote_failed_messages");
  EXPECT_STREQ(invalidPath, "./invalid_messages");
  EXPECT_STREQ(pendingPath, "./pending_receipts");
  EXPECT_EQ(std::string(failoverPath), path("failover"));
  EXPECT_EQ(std::string(failoverFullName), path("failover") + "/.failover_full_flag");
  const char *logs[] = {"client_trans.log", "receipt_trans.log", "server_trans.log",
                        "hipri_trans.log"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_STREQ(tran_logpath[i], logs[i % 4]) << i;
    EXPECT_EQ(tran_logfile[i], nullptr);
  }
  EXPECT_EQ(iFdReceiptPipe, -1);
  EXPECT_EQ(verifyDepth, 10);
  EXPECT_EQ(verifyMode, 4);
  EXPECT_EQ(remote_lifetime_dur, 14400);
  EXPECT_EQ(remote_inactivity_dur, 3600);
  EXPECT_EQ(zv_ssl_connect_retry_delay, 30);
  EXPECT_EQ(zv_ssl_connect_queue_max, 10);
  for (const CachedSession_rec &c : ccache) {
    EXPECT_EQ(c.tp_index, -1);
    EXPECT_EQ(c.usedCount, 0);
  }
  verify_hack_flag = 0;
  init_globals();
  EXPECT_EQ(verifyMode, 2);
}

TEST_F(Roles, EveryRoleNeedsTheWorkingDirectories) {
  const char *dirs[] = {"to_remote_failed_messages", "to_ssl_remote_failed_messages",
                        "from_remote_failed_messages", "from_ssl_remote_failed_messages",
                        "invalid_messages", "pending_receipts"};
  for (const char *d : dirs) {
    ASSERT_EQ(rename(d, (std::string(d) + ".off").c_str()), 0);
    for (const char *name : {"clientd", "failoverd", "rclientd"}) {
      snprintf(program, sizeof program, "%s", name);
      EXPECT_EXIT(init_globals(), testing::ExitedWithCode(255),
                  "^FATAL ERROR: Cannot find REQUIRED  directory \\./" + std::string(d) +
                      "\nCannot continue\n");
    }
    ASSERT_EQ(rename((std::string(d) + ".off").c_str(), d), 0);
  }
  snprintf(failoverd_dir_path, sizeof failoverd_dir_path, "%s", "/no/such/failover");
  snprintf(program, sizeof program, "%s", "clientd");
  EXPECT_EXIT(init_globals(), testing::ExitedWithCode(255),
              "^FATAL ERROR: Cannot find REQUIRED  directory /no/such/failover\nCannot "
              "continue\n");
}

TEST_F(Roles, FilesCheckedByRole) {
  zvtest::write_file("zolvar.conf", "");
  zvtest::write_file("tpartner.conf", "");
  snprintf(configFileName, sizeof configFileName, "%s", "zolvar.conf");
  snprintf(tpartnerFileName, sizeof tpartnerFileName, "%s", "tpartner.conf");
  snprintf(program, sizeof program, "%s", "failoverd");
  init_globals();
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(ZV_FAILOVER_PROCESS), 0);
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(6), -1);
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(-1), -1);
  // The failover directory is checked for the failover role only in modes S and A.
  snprintf(failoverPath, sizeof failoverPath, "%s", "gone");
  for (const char *mode : {"", "N", "x"}) {
    snprintf(failoverd, sizeof failoverd, "%s", mode);
    EXPECT_EQ(iVerifyFilesAndDirsByProcess(ZV_FAILOVER_PROCESS), 0) << mode;
  }
  for (const char *mode : {"S", "s", "A", "all"}) {
    snprintf(failoverd, sizeof failoverd, "%s", mode);
    EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_FAILOVER_PROCESS), testing::ExitedWithCode(255),
                "Cannot find REQUIRED  directory gone\n");
    EXPECT_EXIT(iVerifyFilesAndDirs(8), testing::ExitedWithCode(255), "directory gone\n");
  }
  failoverd[0] = '\0';
  EXPECT_EQ(iVerifyFilesAndDirs(8), 0);

  // The client checks its own certificate and key and its input directory or file.
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_CLIENT_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED file  \\(Own Certificate File\\)");
  zvtest::write_file("c.pem", "");
  snprintf(certificateFileName, sizeof certificateFileName, "%s", "c.pem");
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_RECEIPT_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED file  \\(Own Private Key File\\)");
  zvtest::write_file("k.pem", "");
  snprintf(keyFileName, sizeof keyFileName, "%s", "k.pem");
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(ZV_RECEIPT_PROCESS), 0);
  snprintf(zv_interface, sizeof zv_interface, "%s", "Dir");
  snprintf(zv_dirpath2, sizeof zv_dirpath2, "%s", "in_dir");
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(ZV_CLIENT_PROCESS), 0);
  snprintf(zv_dirpath2, sizeof zv_dirpath2, "%s", "no_in_dir");
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_CLIENT_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED  directory no_in_dir\n");
  snprintf(zv_interface, sizeof zv_interface, "%s", "file");
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_CLIENT_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED file test_file \\(EDI input File\\)");
  snprintf(zv_interface, sizeof zv_interface, "%s", "socket");
  EXPECT_EQ(iVerifyFilesAndDirsByProcess(ZV_CLIENT_PROCESS), 0);
  // The ZVP process also needs the CA file.
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_SSL_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED file ca_cert.pem \\(CA Certificate File\\)");
  // Missing configuration file comes first, for every role.
  unlink("zolvar.conf");
  EXPECT_EXIT(iVerifyFilesAndDirsByProcess(ZV_FAILOVER_PROCESS), testing::ExitedWithCode(255),
              "Cannot find REQUIRED file zolvar.conf \\(Zolvar Configuration File\\)");
  EXPECT_EQ(iVerifyFilesAndDirs(5), 0);
  EXPECT_EQ(iVerifyFilesAndDirs(9), -1);
}

// ---- build banner, signals and exit ------------------------------------------------

TEST_F(Process, BuildBannerAtDebugLevelOne) {
  debug_level = 1;
  auto c = capture([] { store_build(); });
  auto lines = strip_prefix(c.err);
  ASSERT_EQ(lines.size(), 9u) << c.err;
  EXPECT_EQ(lines[0], "BUILD specific information: ===============");
  EXPECT_EQ(lines[1], "  BUILD_version: 3.1.1");
  EXPECT_EQ(lines[2].rfind("  BUILD_platform: ", 0), 0u);
  EXPECT_EQ(lines[6], "  BUILD_zv_version: 21");
  EXPECT_EQ(lines[7], std::string("  BUILD_openssl_ver: ") + OpenSSL_version(OPENSSL_VERSION_STRING));
  EXPECT_EQ(lines[8], "== END BUILD specific information =========");
  debug_level = 0;
  EXPECT_EQ(capture([] { store_build(); }).err, "");
}

TEST_F(Process, SignalFlags) {
  set_sig_flags(SIGHUP);
  set_sig_flags(SIGINT);
  EXPECT_EQ(zv_shutdown.load(), 0);
  EXPECT_EQ(zv_flushlogs.load(), 0);
  set_sig_flags(SIGUSR1);
  EXPECT_EQ(zv_flushlogs.load(), 1);
  EXPECT_EQ(zv_shutdown.load(), 0);
  set_sig_flags(SIGALRM);
  EXPECT_EQ(zv_shutdown.load(), 1);
  zv_shutdown = 0;
  set_sig_flags(SIGTERM);
  EXPECT_EQ(zv_shutdown.load(), 1);
}

TEST_F(Process, SigchldHandlerReapsEveryFinishedChildAndKeepsErrno) {
  pid_t kids[3];
  for (pid_t &k : kids) {
    k = fork();
    if (k == 0) _exit(0);
  }
  for (pid_t k : kids)
    ASSERT_TRUE(zvtest::wait_for([k] {
      std::string s = zvtest::read_file("/proc/" + std::to_string(k) + "/stat");
      return s.find(") Z ") != std::string::npos;
    }));
  errno = EDOM;
  sigchld_handler(SIGCHLD);
  EXPECT_EQ(errno, EDOM);
  for (pid_t k : kids) EXPECT_EQ(waitpid(k, nullptr, WNOHANG), -1) << k;
  signal(SIGCHLD, SIG_DFL);
}

TEST_F(Process, ExitClosesTheStreamsAndSaysSo) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  auto body = [&] {
    zv_log_init("zolvar.log", "zolvar.err", "zolvar.alert");
    tran_logfile[0] = fopen("client_trans.log", "a");
    fputs("line\n", tran_logfile[0]);  // buffered until the close
    vZvExit(3);
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(3), "Process exit with vZVExit\\(\\)\n$");
  EXPECT_EQ(zvtest::read_file(path("client_trans.log")), "line\n");
  EXPECT_FALSE(zvtest::file_exists(path("tpacache.db")));  // no tables were made
}

}  // namespace
