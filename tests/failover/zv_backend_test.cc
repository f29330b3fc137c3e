// The back-end writers against a real socket server stand-in, real named pipes and files
// read back from disk: exact record octets, names, log lines and failure results.
#include "failover/zv_backend.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zv_globals.h"
#include "runtime/zv_options.h"
#include "tests/failover/backend_standin.h"
#include "tests/failover/failover_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using fot::BackendStandin;
using rtt::capture;
using rtt::count_of;

using zvtest::set_text;

// Everything a reader gets from a FIFO until its writers are gone or `want` bytes came.
class FifoReader {
 public:
  FifoReader(const std::string &path, size_t want) {
    thread_ = std::thread([this, path, want] {
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) return;
      char buf[65536];
      while (got_.size() < want) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got_.append(buf, static_cast<size_t>(n));
      }
      close(fd);
    });
  }
  std::string join() {
    thread_.join();
    return got_;
  }

 private:
  std::thread thread_;
  std::string got_;
};

class Backend : public fot::WorkDirTest {};

// ---- the socket record ---------------------------------------------------------------

TEST_F(Backend, SocketRecordOctetsAndPriorityByWho) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  std::string addr = be.address();
  struct Case {
    int who;
    std::string body;
    std::string header_hex;
  };
  const Case cases[] = {
      {ZV_WHO_STD_SERVER, "ISA*hello", "000000090000"},
      {ZV_WHO_HPRI_SERVER, "ISA*urgent!", "0000000b0001"},
      {ZV_WHO_STD_SERVER, std::string("a\0b", 3), "000000030000"},
      {ZV_WHO_HPRI_SERVER, "", "000000000001"},
      {ZV_WHO_STD_CLIENT, "x", "000000010000"},
  };
  for (const Case &c : cases) {
    std::string body = c.body;
    Trans_ctl_rec t = record(c.who, body);
    std::string err = capture([&] { EXPECT_EQ(soc_write(&t, addr.data()), 0); }).err;
    EXPECT_NE(err.find("DEBUG:starting soc_write()\n"), std::string::npos) << err;
    EXPECT_NE(err.find("DEBUG: msg length = " + std::to_string(body.size()) + "\n"),
              std::string::npos);
    EXPECT_NE(err.find("DEBUG: msg priority = " + std::to_string(c.who == 3) + "\n"),
              std::string::npos);
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(soc_write: Sending request on #[0-9a-f]+\n)")));
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(soc_write:Done sending on #[0-9a-f]+\.\n)")));
  }
  ASSERT_TRUE(be.wait_count(std::size(cases)));
  auto got = be.records();
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) {
    unsigned char h[6];
    zv_be_put32(h, got[i].length);
    zv_be_put16(h + 4, got[i].priority);
    EXPECT_EQ(zvtest::hex(h, 6), cases[i].header_hex) << i;
    EXPECT_EQ(got[i].body, cases[i].body) << i;
  }
  EXPECT_EQ(be.malformed(), 0);
}

TEST_F(Backend, LargeBodySentWholeInSeveralPieces) {
  // The reader waits before it takes anything, and signals without restart interrupt the
  // blocked send, so the body leaves in several writes. Whether a signal lands while the
  // send is blocked is the scheduler's choice: the send is made again, each one checked
  // whole, until one has been split, within a bound.
  struct sigaction sa = {}, old = {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
  BackendStandin be;
  be.set_hook([](BackendStandin::Event e, size_t) {
    if (e == BackendStandin::Event::accepted) usleep(300000);
  });
  ASSERT_TRUE(be.start());
  std::string addr = be.address();
  std::string body(24 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 23);
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, body);
  constexpr int kSends = 10;
  std::regex piece(R"(DEBUG: total: (\d+) written: (\d+) Left: (\d+)\n)");
  int pieces = 0;
  int sends = 0;
  while (pieces < 2 && sends < kSends) {
    std::atomic<bool> done{false};
    pthread_t self = pthread_self();
    std::thread poker([&] {
      while (!done) {
        pthread_kill(self, SIGUSR2);
        usleep(20000);
      }
    });
    std::string err = capture([&] { EXPECT_EQ(soc_write(&t, addr.data()), 0); }).err;
    done = true;
    poker.join();
    ++sends;

    ASSERT_TRUE(be.wait_count(static_cast<size_t>(sends), 20000));
    auto got = be.records();
    EXPECT_EQ(got.back().length, body.size());
    EXPECT_TRUE(got.back().body == body) << "body differs in send " << sends;
    long sum = 0;
    long last_left = -1;
    pieces = 0;
    for (std::sregex_iterator it(err.begin(), err.end(), piece), end; it != end; ++it) {
      EXPECT_EQ(std::stol((*it)[1]), static_cast<long>(body.size()));
      sum += std::stol((*it)[2]);
      last_left = std::stol((*it)[3]);
      EXPECT_EQ(last_left, static_cast<long>(body.size()) - sum);
      ++pieces;
    }
    EXPECT_EQ(sum, static_cast<long>(body.size()));
    EXPECT_EQ(last_left, 0);
  }
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_GE(pieces, 2) << "the send was never split in " << sends << " sends";
}

TEST_F(Backend, SocketAddressErrors) {
  std::string body = "ISA*x";
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, body);
  struct Case {
    const char *addr;
    const char *line;
  };
  const Case cases[] = {
      {"127.0.0.1", "ERROR: cannot find port in IP address (127.0.0.1) - cannot write to socket\n"},
      {"", "ERROR: cannot find port in IP address () - cannot write to socket\n"},
      {"127.0.0.1:", "ERROR: cannot find valid port in IP address (127.0.0.1:) - cannot write to socket\n"},
      {"127.0.0.1:0", "ERROR: cannot find valid port in IP address (127.0.0.1:0) - cannot write to socket\n"},
      {"127.0.0.1:abc", "ERROR: cannot find valid port in IP address (127.0.0.1:abc) - cannot write to socket\n"},
      {"127.0.0.1:70000", "ERROR: cannot find valid port in IP address (127.0.0.1:70000) - cannot write to socket\n"},
      {"127.0.0.1:80x", "ERROR: cannot find valid port in IP address (127.0.0.1:80x) - cannot write to socket\n"},
      {"1.2.3:8000", "ERROR: cannot find valid IP address in (1.2.3:8000) - cannot write to socket\n"},
      {"localhost:8000", "ERROR: cannot find valid IP address in (localhost:8000) - cannot write to socket\n"},
  };
  for (const Case &c : cases) {
    std::string addr = c.addr;
    std::string err = capture([&] { EXPECT_EQ(soc_write(&t, addr.data()), -1) << c.addr; }).err;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
  }
  // The option's own default has no port.
  load_config_defaults();
  std::string err = capture([&] { EXPECT_EQ(soc_write(&t, zv_socaddr), -1); }).err;
  EXPECT_NE(err.find("ERROR: cannot find port in IP address (127.0.0.1) - cannot write to "
                     "socket\n"),
            std::string::npos)
      << err;
}

TEST_F(Backend, RefusedConnectionWordByModeAndWho) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  be.stop();  // the port stays ours, and nothing listens on it
  std::string addr = be.address();
  struct Case {
    const char *mode;
    int who;
    const char *word;
  };
  const Case cases[] = {
      {"N", 2, "ERROR"},   {"n", 3, "ERROR"},   {"", 2, "WARNING"},  {"", 3, "WARNING"},
      {"A", 3, "WARNING"}, {"x", 2, "WARNING"}, {"s", 2, "WARNING"}, {"S", 3, "ERROR"},
      {"s", 0, "ERROR"},
  };
  for (const Case &c : cases) {
    set_text(failoverd, c.mode);
    std::string body = "ISA*x";
    Trans_ctl_rec t = record(c.who, body);
    std::string err = capture([&] { EXPECT_EQ(soc_write(&t, addr.data()), -1); }).err;
    EXPECT_NE(err.find(std::string(c.word) +
                       ": cannot connect to BES socket server: Connection refused\n"),
              std::string::npos)
        << c.mode << " " << c.who << "\n"
        << err;
  }
  EXPECT_EQ(be.count(), 0u);
  // Started again on the same address, it takes the next record.
  ASSERT_TRUE(be.start());
  std::string body = "again";
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, body);
  capture([&] { EXPECT_EQ(soc_write(&t, addr.data()), 0); });
  ASSERT_TRUE(be.wait_count(1));
  EXPECT_EQ(be.records()[0].body, "again");
}

// ---- files and directories -----------------------------------------------------------

TEST_F(Backend, FileOutBufNamesByWho) {
  set_text(zv_dirpath, "out_dir");
  ASSERT_EQ(mkdir("out_dir", 0755), 0);
  std::string unused;
  for (int who : {ZV_WHO_HPRI_SERVER, ZV_WHO_STD_SERVER}) {
    Trans_ctl_rec t = record(who, unused);
    std::string data = "ISA*file body " + std::to_string(who);
    char name[] = "out";
    EXPECT_EQ(file_out_buf(&t, data.data(), static_cast<int>(data.size()), name), 0);
    std::string final_name = dir_ + "/out_dir/out" + (who == 3 ? ".hpri" : ".edi");
    EXPECT_EQ(zvtest::read_file(final_name), data);
    EXPECT_FALSE(zvtest::file_exists(dir_ + "/out.tmp"));
  }
  EXPECT_EQ(zvtest::list_dir(dir_ + "/out_dir"), (std::vector<std::string>{"out.edi", "out.hpri"}));

  // An absolute output directory is taken as it is; a path in the file name is dropped
  // from the final name.
  set_text(zv_dirpath, dir_ + "/abs_dir");
  ASSERT_EQ(mkdir("abs_dir", 0755), 0);
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, unused);
  std::string data = "second";
  std::string name = dir_ + "/in_dir/report";
  EXPECT_EQ(file_out_buf(&t, data.data(), 6, name.data()), 0);
  EXPECT_EQ(zvtest::list_dir(dir_ + "/abs_dir"), std::vector<std::string>{"report.edi"});
  EXPECT_EQ(zvtest::list_dir(dir_ + "/in_dir"), std::vector<std::string>{});
}

TEST_F(Backend, FileOutBufOpenFailureIsLogged) {
  set_text(zv_dirpath, ".");
  std::string unused;
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, unused);
  std::string data = "ISA*x";
  char name[] = "no_such_dir/out";
  std::string err;
  err = capture([&] { EXPECT_EQ(file_out_buf(&t, data.data(), 5, name), -1); }).err;
  EXPECT_NE(err.find("ERROR: Cannot open no_such_dir/out.tmp for writing\n"), std::string::npos)
      << err;
  auto lines = trans_lines(ZV_WHO_STD_SERVER);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].rfind('|')), "|-12");
}

TEST_F(Backend, FileOutBufWriteFailureReturnsIndicator) {
  set_text(zv_dirpath, "out_dir");
  ASSERT_EQ(mkdir("out_dir", 0755), 0);
  std::string unused;
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, unused);
  std::string data(200000, 'z');
  char name[] = "big";
  // A file-size limit makes the write fail as a full disk would.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = 0;
  std::string err = capture([&] { rc = file_out_buf(&t, data.data(), 200000, name); }).err;
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, -1);
  EXPECT_NE(err.find("ERROR: Cannot write big.tmp, returned errno " + std::to_string(rc) + "\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(zvtest::list_dir(dir_ + "/out_dir"), std::vector<std::string>{});
  auto lines = trans_lines(ZV_WHO_STD_SERVER);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].rfind('|')), "|-11");
}

TEST_F(Backend, DirOutBufUniqueNames) {
  set_text(zv_dirpath, "out_dir");
  ASSERT_EQ(mkdir("out_dir", 0755), 0);
  std::string unused;
  std::vector<std::string> bodies;
  for (int i = 0; i < 5; ++i) {
    Trans_ctl_rec t = record(i % 2 ? ZV_WHO_HPRI_SERVER : ZV_WHO_STD_SERVER, unused);
    bodies.push_back("ISA*dir message " + std::to_string(i));
    char prefix[] = "zv_";
    EXPECT_EQ(dir_out_buf(&t, bodies.back().data(), static_cast<int>(bodies.back().size()),
                          zv_dirpath, prefix),
              0);
  }
  auto names = zvtest::list_dir(dir_ + "/out_dir");
  ASSERT_EQ(names.size(), 5u);
  std::vector<std::string> seen;
  int hpri = 0;
  for (const std::string &n : names) {
    EXPECT_TRUE(std::regex_match(n, std::regex(R"(zv_[A-Za-z0-9]{6}\.(edi|hpri))"))) << n;
    hpri += n.ends_with(".hpri");
    seen.push_back(zvtest::read_file(dir_ + "/out_dir/" + n));
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/out_dir/" + n).c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << n;
  }
  EXPECT_EQ(hpri, 2);
  std::sort(seen.begin(), seen.end());
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(seen, bodies);
}

TEST_F(Backend, DirOutBuf2SuffixAndRelativeDirectory) {
  ASSERT_EQ(mkdir("rcpt", 0755), 0);
  std::string unused;
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, unused);
  std::string data = "receipt text";
  char dir[] = "rcpt";
  char suffix[] = ".rcpt";
  EXPECT_EQ(dir_out_buf2(&t, data.data(), static_cast<int>(data.size()), dir, suffix), 0);
  auto names = zvtest::list_dir(dir_ + "/rcpt");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(rr[A-Za-z0-9]{6}\.rcpt)"))) << names[0];
  EXPECT_EQ(zvtest::read_file(dir_ + "/rcpt/" + names[0]), data);

  char missing[] = "not_there";
  std::string err =
      capture([&] { EXPECT_EQ(dir_out_buf2(&t, data.data(), 3, missing, suffix), -1); }).err;
  EXPECT_NE(err.find("ERROR: Cannot make a unique name in " + dir_ + "/not_there"),
            std::string::npos)
      << err;
}

TEST(BackendNames, Basename2) {
  struct Case {
    const char *in;
    const char *out;
  };
  const Case cases[] = {{"a/b/c.edi", "c.edi"}, {"c.edi", "c.edi"}, {"dir/", ""},
                        {"/x", "x"},             {"", ""},           {"//", ""}};
  for (const Case &c : cases) {
    std::string s = c.in;
    char *r = basename2(s.data());
    EXPECT_STREQ(r, c.out) << c.in;
    EXPECT_TRUE(r >= s.data() && r <= s.data() + s.size());
  }
}

// ---- processEDImsg -------------------------------------------------------------------

TEST_F(Backend, ProcessEdiMsgByInterfaceLetter) {
  BackendStandin be;
  ASSERT_TRUE(be.start());
  set_text(zv_socaddr, be.address());
  set_text(zv_dirpath, "out_dir");
  set_text(zv_filename, "single");
  ASSERT_EQ(mkdir("out_dir", 0755), 0);
  std::string out = "OUTPUT-BUFFER";
  std::string in = "the bufferp argument";
  for (const char *iface : {"dir", "Directory", "file", "socket", "rpc", "xml"}) {
    set_text(zv_interface, iface);
    Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, out);
    EXPECT_EQ(processEDImsg(&t, in.data(), static_cast<int>(in.size())), 0) << iface;
  }
  auto names = zvtest::list_dir(dir_ + "/out_dir");
  ASSERT_EQ(names.size(), 3u);
  int zv = 0;
  for (const std::string &n : names) {
    EXPECT_EQ(zvtest::read_file(dir_ + "/out_dir/" + n), in) << n;
    zv += n.starts_with("zv_") && n.ends_with(".edi");
  }
  EXPECT_EQ(zv, 2);
  EXPECT_TRUE(zvtest::file_exists(dir_ + "/out_dir/single.edi"));
  ASSERT_TRUE(be.wait_count(3));
  for (const auto &r : be.records()) EXPECT_EQ(r.body, out);
}

TEST_F(Backend, ProcessEdiMsgSocketFailureIsLogged) {
  set_text(zv_socaddr, "127.0.0.1");
  std::string out = "OUT";
  struct Case {
    const char *iface;
    const char *line;
  };
  const Case cases[] = {{"S", "ERROR: encountered in soc_write()\n"},
                        {"R", "ERROR: encountered in rpc_write()\n"},
                        {"x", "ERROR: encountered in xmlrpc_write()\n"}};
  for (const Case &c : cases) {
    set_text(zv_interface, c.iface);
    Trans_ctl_rec t = record(ZV_WHO_HPRI_SERVER, out);
    std::string err = capture([&] { EXPECT_EQ(processEDImsg(&t, out.data(), 3), -1); }).err;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
  }
  auto lines = trans_lines(ZV_WHO_HPRI_SERVER);
  ASSERT_EQ(lines.size(), 3u);
  for (const auto &l : lines) EXPECT_EQ(l.substr(l.rfind('|')), "|-22") << l;
}

using BackendDeathTest = Backend;

TEST_F(BackendDeathTest, UnsupportedInterfaceEndsWithMinusFour) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string out = "OUT";
  for (const char *iface : {"pipe", "", "W"}) {
    set_text(zv_interface, iface);
    Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, out);
    EXPECT_EXIT(processEDImsg(&t, out.data(), 3), testing::ExitedWithCode(256 - 4),
                "FATAL ERROR: Found an unsupported interface requested - Cannot continue "
                "processing this message\n")
        << iface;
  }
}

TEST_F(BackendDeathTest, FailedDirectoryDeliveryIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  set_text(zv_interface, "D");
  set_text(zv_dirpath, "missing_dir");
  std::string out = "OUT";
  Trans_ctl_rec t = record(ZV_WHO_STD_SERVER, out);
  EXPECT_EXIT(processEDImsg(&t, out.data(), 3), testing::ExitedWithCode(256 - 13),
              "ERROR: encountered in dir_out_buf\\(\\)");
}

// ---- named pipes ---------------------------------------------------------------------

TEST_F(Backend, PipeWrite2RecordsAndRefusedLongBody) {
  ASSERT_EQ(mkfifo("zvpipe", 0600), 0);
  std::string small = "ISA*pipe";
  std::string full(65535, 'q');
  std::string too_long(70000, 'r');
  size_t want = 4 + small.size() + 4 + full.size();
  FifoReader reader(dir_ + "/zvpipe", want);
  std::string err = capture([&] {
    EXPECT_EQ(pipe_write2(too_long.data(), 70000), -1);
    EXPECT_EQ(pipe_write2(small.data(), static_cast<int>(small.size())), 0);
    EXPECT_EQ(pipe_write2(full.data(), 65535), 0);
    EXPECT_EQ(pipe_write2(small.data(), -1), -1);
  }).err;
  std::string got = reader.join();
  ASSERT_EQ(got.size(), want);
  EXPECT_EQ(zvtest::hex(got.substr(0, 4 + small.size())), "00080001" + zvtest::hex(small));
  EXPECT_EQ(zvtest::hex(got.substr(4 + small.size(), 4)), "ffff0001");
  EXPECT_TRUE(got.substr(8 + small.size()) == full);
  EXPECT_NE(err.find("DEBUG:starting pipe_write2()\n"), std::string::npos);
  EXPECT_NE(err.find("DEBUG:pipe_write2:fd = -1\n"), std::string::npos);
  EXPECT_EQ(count_of(err, "DEBUG:pipe_write2:fresh fd = "), 1) << err;
  EXPECT_NE(err.find("DEBUG: msg priority = 1\n"), std::string::npos);
  EXPECT_NE(err.find("ERROR: message length of 70000 does not fit a pipe record (at most 65535 "
                     "bytes)\n"),
            std::string::npos)
      << err;
  EXPECT_GE(iFdReceiptPipe, 0);
}

TEST_F(Backend, PipeWrite2WithoutPipe) {
  std::string small = "x";
  std::string err = capture([&] { EXPECT_EQ(pipe_write2(small.data(), 1), -1); }).err;
  EXPECT_NE(err.find("ERROR: cannot open ./zvpipe for writing\n"), std::string::npos) << err;
  EXPECT_EQ(iFdReceiptPipe, -1);
}

TEST_F(Backend, PipeWrite4KeepsItsFirstPipe) {
  std::string missing = dir_ + "/nope";
  std::string a = "first record";
  std::string b = "second";
  std::string err =
      capture([&] { EXPECT_EQ(pipe_write4(a.data(), 3, missing.data()), -1); }).err;
  EXPECT_NE(err.find("ERROR: cannot open " + missing + " for writing\n"), std::string::npos);

  ASSERT_EQ(mkfifo("p4", 0600), 0);
  ASSERT_EQ(mkfifo("other", 0600), 0);
  size_t want = 8 + a.size() + b.size();
  FifoReader reader(dir_ + "/p4", want);
  std::string p4 = "p4", other = "other";
  err = capture([&] {
    EXPECT_EQ(pipe_write4(a.data(), static_cast<int>(a.size()), p4.data()), 0);
    EXPECT_EQ(pipe_write4(b.data(), static_cast<int>(b.size()), other.data()), 0);
  }).err;
  std::string got = reader.join();
  EXPECT_EQ(zvtest::hex(got), "0000000c" + zvtest::hex(a) + "00000006" + zvtest::hex(b));
  EXPECT_NE(err.find("DEBUG:starting pipe_write4()\n"), std::string::npos);
  EXPECT_NE(err.find("DEBUG: msg length = 12\n"), std::string::npos);
}

}  // namespace
