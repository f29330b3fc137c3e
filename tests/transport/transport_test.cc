// The framed-socket library against plain-socket peers on loopback.
#include "transport/transport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "runtime/zv_globals.h"
#include "tests/support/zv_test_support.h"
#include "tests/transport/trans_test_util.h"

using namespace transtest;

namespace {

// Header framing for these tests: 'M', then a big-endian u16 data length.
constexpr int kMax = 64;
int hdr_len_from(unsigned char *b, int) { return (b[1] << 8) | b[2]; }
int hdr_len_to(unsigned char *b, int n) {
  b[0] = 'M';
  b[1] = static_cast<unsigned char>(n >> 8);
  b[2] = static_cast<unsigned char>(n);
  return 0;
}
const trans_config_t kHeaderCfg = {3, 0, kMax, hdr_len_from, hdr_len_to};

// Synchronising framing: STX, u16 length, data, ETX. Anything else at the front is noise.
constexpr int kSyncMax = 32;
int sync_len_from(unsigned char *b, int have) {
  if (b[0] != 0x02) return -2;
  int n = (b[1] << 8) | b[2];
  if (n > kSyncMax) return n;
  if (have < 3 + n + 1) return -1;
  if (b[3 + n] != 0x03) return -2;
  return n;
}
int sync_len_to(unsigned char *b, int n) {
  b[0] = 0x02;
  b[1] = static_cast<unsigned char>(n >> 8);
  b[2] = static_cast<unsigned char>(n);
  b[3 + n] = 0x03;
  return 0;
}
const trans_config_t kSyncCfg = {3, 1, kSyncMax, sync_len_from, sync_len_to};

std::string msg(const std::string &data) {
  std::string s = "M";
  s += static_cast<char>(data.size() >> 8);
  s += static_cast<char>(data.size() & 0xff);
  return s + data;
}
std::string sync_msg(const std::string &data) {
  std::string s = "\x02";
  s += static_cast<char>(data.size() >> 8);
  s += static_cast<char>(data.size() & 0xff);
  return s + data + "\x03";
}

// A library connection and the plain socket at its other end.
struct Conn {
  int lib = -1;
  int peer = -1;
  explicit Conn(const trans_config_t &cfg) {
    RawListener l;
    lib = trans_connect("127.0.0.1", l.port(), cfg);
    peer = l.accept_one();
  }
  ~Conn() {
    trans_close(lib);
    if (peer >= 0) close(peer);
  }
};

struct Buf {
  unsigned char b[256];
  std::string str(int n) const { return std::string(reinterpret_cast<const char *>(b), n); }
};

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Bytes that have arrived on a socket and that no read has taken yet.
int queued(int fd) {
  int n = -1;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { zv_shutdown = 0; }
  void TearDown() override { zv_shutdown = 0; }
};

TEST_F(TransportTest, MessageSplitOverSegmentsIsReturnedWholeBySecondGet) {
  Conn c(kHeaderCfg);
  ASSERT_GE(c.lib, 0);
  std::string m = msg("hello, world");
  ASSERT_TRUE(write_all(c.peer, m.substr(0, 3)));
  ASSERT_TRUE(wait_readable(c.lib));
  Buf out;
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_INCOMPLETE);
  ASSERT_TRUE(write_all(c.peer, m.substr(3)));
  ASSERT_TRUE(wait_readable(c.lib));
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), 12);
  EXPECT_EQ(out.str(15), m);
}

TEST_F(TransportTest, HeaderOnlyMessageReturnsZeroWithHeader) {
  Conn c(kHeaderCfg);
  ASSERT_TRUE(write_all(c.peer, msg("") + msg("x")));
  Buf out;
  memset(out.b, 0xee, sizeof out.b);
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 0);
  EXPECT_EQ(out.str(3), msg(""));
  EXPECT_EQ(out.b[3], 0xee) << "nothing past the header is written";
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 1);
  EXPECT_EQ(out.str(4), msg("x"));
}

TEST_F(TransportTest, MessagesBackToBackInOneSegmentComeOneByOne) {
  Conn c(kHeaderCfg);
  std::string all;
  for (int i = 0; i < 20; ++i) all += msg(std::string(i * 3, static_cast<char>('a' + i)));
  ASSERT_TRUE(write_all(c.peer, all));
  Buf out;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), i * 3) << i;
    EXPECT_EQ(out.str(3 + i * 3), msg(std::string(i * 3, static_cast<char>('a' + i))));
  }
}

TEST_F(TransportTest, MessagesOfOneReadAreHandedOutWithoutAnotherReadOrWait) {
  Conn c(kHeaderCfg);
  std::string a = msg("alpha"), b = msg(std::string(kMax, 'b')), d = msg("delta");
  ASSERT_TRUE(write_all(c.peer, a + b + msg("")));
  int total = static_cast<int>(a.size() + b.size()) + 3;
  ASSERT_TRUE(zvtest::wait_for([&] { return queued(c.lib) == total; }));
  Buf out;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), 5);
  EXPECT_EQ(out.str(8), a);
  EXPECT_EQ(queued(c.lib), 0) << "one read took all three messages";
  // What comes now stays with the kernel while buffered messages are handed out.
  ASSERT_TRUE(write_all(c.peer, d));
  ASSERT_TRUE(zvtest::wait_for([&] { return queued(c.lib) == static_cast<int>(d.size()); }));
  trans_debug = 3;
  testing::internal::CaptureStderr();
  int second = trans_get(c.lib, out.b, sizeof out.b, 0);
  std::string second_msg = out.str(3 + kMax);
  int third = trans_get(c.lib, out.b, sizeof out.b, -1);
  std::string trace = testing::internal::GetCapturedStderr();
  trans_debug = 0;
  EXPECT_EQ(second, kMax);
  EXPECT_EQ(second_msg, b);
  EXPECT_EQ(third, 0);
  EXPECT_EQ(out.str(3), msg(""));
  EXPECT_EQ(queued(c.lib), static_cast<int>(d.size())) << "no read while a message was buffered";
  EXPECT_EQ(trace.find("poll fd"), std::string::npos)
      << "no wait for a buffered message\n" << trace;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), 5);
  EXPECT_EQ(out.str(8), d);
}

TEST_F(TransportTest, CloseRightAfterWholeMessagesComesAfterThem) {
  Conn c(kHeaderCfg);
  ASSERT_TRUE(write_all(c.peer, msg("one") + msg("") + msg("three") + msg("four").substr(0, 5)));
  close(c.peer);
  c.peer = -1;
  Buf out;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 3);
  EXPECT_EQ(out.str(6), msg("one"));
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), 0);
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 5);
  EXPECT_EQ(out.str(8), msg("three"));
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, EPIPE) << "the close, once nothing complete is left";
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
}

TEST_F(TransportTest, ManyMessagesAtOnceAreCutAcrossReads) {
  // Far more than one read takes, with messages of every size, so that some straddle the
  // end of what a read brought.
  Conn c(kHeaderCfg);
  std::vector<std::string> sent;
  std::string all;
  for (int i = 0; all.size() < 300 * 1000; ++i) {
    std::string data(static_cast<size_t>(i % (kMax + 1)), static_cast<char>('A' + i % 26));
    if (!data.empty()) data[0] = static_cast<char>(i & 0xff);
    sent.push_back(msg(data));
    all += sent.back();
  }
  std::thread writer([&] { write_all(c.peer, all); });
  Buf out;
  size_t i = 0;
  for (; i < sent.size(); ++i) {
    int n = trans_get_idle(c.lib, out.b, sizeof out.b, 10000);
    if (n != static_cast<int>(sent[i].size()) - 3 || out.str(n + 3) != sent[i]) break;
  }
  writer.join();
  EXPECT_EQ(i, sent.size()) << "message " << i << " of " << sent.size();
}

TEST_F(TransportTest, HeaderAboveMaxClosesWith1004) {
  Conn c(kHeaderCfg);
  std::string h = "M";
  h += '\0';
  h += static_cast<char>(kMax + 1);
  ASSERT_TRUE(write_all(c.peer, h));
  Buf out;
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, TRANS_ERR_BAD_LENGTH);
  EXPECT_FALSE(fd_is_open(c.lib));
  EXPECT_EQ(read_to_eof(c.peer), "") << "the peer sees the close";
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
}

TEST_F(TransportTest, ExactlyMaxIsAccepted) {
  Conn c(kHeaderCfg);
  std::string data(kMax, 'z');
  ASSERT_TRUE(write_all(c.peer, msg(data)));
  Buf out;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), kMax);
  EXPECT_EQ(out.str(3 + kMax), msg(data));
}

TEST_F(TransportTest, PeerCloseMidMessageGivesEpipeThenNotOpen) {
  Conn c(kHeaderCfg);
  ASSERT_TRUE(write_all(c.peer, msg("0123456789").substr(0, 8)));
  close(c.peer);
  c.peer = -1;
  Buf out;
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, EPIPE);
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  EXPECT_EQ(trans_close(c.lib), 0) << "a second close finds nothing";
}

TEST_F(TransportTest, TrickledBytesAreAssembled) {
  Conn c(kHeaderCfg);
  std::string m = msg("trickle-trickle");
  Buf out;
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_TRUE(write_all(c.peer, m.substr(i, 1)));
    ASSERT_TRUE(wait_readable(c.lib));
    int r = trans_get(c.lib, out.b, sizeof out.b, 0);
    if (i + 1 < m.size()) {
      ASSERT_EQ(r, -1) << "byte " << i;
      ASSERT_EQ(errno, TRANS_ERR_INCOMPLETE) << "byte " << i;
    } else {
      ASSERT_EQ(r, 15);
      EXPECT_EQ(out.str(18), m);
    }
  }
}

TEST_F(TransportTest, PositiveTimeOutWaitsOnceThenReportsIncomplete) {
  Conn c(kHeaderCfg);
  Buf out;
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 50), -1);
  EXPECT_EQ(errno, TRANS_ERR_INCOMPLETE);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    write_all(c.peer, msg("late"));
  });
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 10000), 4);
  late.join();
  EXPECT_EQ(out.str(7), msg("late"));
}

TEST_F(TransportTest, PutWritesHeaderDataAndLength) {
  Conn c(kHeaderCfg);
  Buf m;
  memcpy(m.b + 3, "abcdef", 6);
  ASSERT_EQ(trans_put(c.lib, m.b, 6), 0);
  ASSERT_EQ(trans_put(c.lib, m.b, 0), 0);
  EXPECT_EQ(read_n(c.peer, 9 + 3), msg("abcdef") + msg(""));
}

TEST_F(TransportTest, PutAboveMaxIsRefusedAndCloses) {
  Conn c(kHeaderCfg);
  Buf m{};
  errno = 0;
  EXPECT_EQ(trans_put(c.lib, m.b, kMax + 1), -1);
  EXPECT_EQ(errno, TRANS_ERR_BAD_LENGTH);
  EXPECT_EQ(read_to_eof(c.peer), "");
}

TEST_F(TransportTest, PutToClosedPeerGivesEpipe) {
  Conn c(kHeaderCfg);
  close(c.peer);
  c.peer = -1;
  Buf m{};
  int r = 0;
  // The first writes may still be taken by the kernel before the reset comes back.
  for (int i = 0; i < 100 && r == 0; ++i) {
    r = trans_put(c.lib, m.b, kMax);
    if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
  errno = 0;
  EXPECT_EQ(trans_put(c.lib, m.b, 1), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
}

TEST_F(TransportTest, GetAndPutOnUnknownDescriptorGive1003) {
  Buf m{};
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  errno = 0;
  EXPECT_EQ(trans_get(fds[0], m.b, sizeof m.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  errno = 0;
  EXPECT_EQ(trans_put(fds[0], m.b, 1), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  EXPECT_EQ(trans_close(fds[0]), 0);
  EXPECT_TRUE(fd_is_open(fds[0])) << "a descriptor without an entry is left alone";
  close(fds[0]);
  close(fds[1]);
}

TEST_F(TransportTest, SecondOpenGives1002AndClosesDescriptor) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  trans_config_t cfg = kHeaderCfg;
  ASSERT_EQ(trans_complete_open(fds[0], &cfg), 0);
  errno = 0;
  EXPECT_EQ(trans_complete_open(fds[0], &cfg), -1);
  EXPECT_EQ(errno, TRANS_ERR_ALREADY_OPEN);
  EXPECT_FALSE(fd_is_open(fds[0]));
  Buf m{};
  EXPECT_EQ(trans_get(fds[0], m.b, sizeof m.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  close(fds[1]);
}

TEST_F(TransportTest, UnusableConfigurationIsRefused) {
  struct Case {
    const char *what;
    trans_config_t cfg;
  } cases[] = {
      {"no header", {0, 0, 10, hdr_len_from, hdr_len_to}},
      {"negative max", {3, 0, -1, hdr_len_from, hdr_len_to}},
      {"negative trailer", {3, -1, 10, hdr_len_from, hdr_len_to}},
      {"no reader", {3, 0, 10, nullptr, hdr_len_to}},
      {"no writer", {3, 0, 10, hdr_len_from, nullptr}},
      {"huge", {3, 0, 0x7fffffff, hdr_len_from, hdr_len_to}},
  };
  for (auto &k : cases) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    errno = 0;
    EXPECT_EQ(trans_complete_open(fds[0], &k.cfg), -1) << k.what;
    EXPECT_EQ(errno, EINVAL) << k.what;
    EXPECT_FALSE(fd_is_open(fds[0])) << k.what;
    close(fds[1]);
  }
}

TEST_F(TransportTest, DescriptorAboveTableIsRefused) {
  rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_max < 1600) GTEST_SKIP() << "descriptor limit too low to test";
  if (rl.rlim_cur < 1600) {
    rl.rlim_cur = 1600;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  }
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  constexpr int high = 1500;
  ASSERT_EQ(dup2(fds[0], high), high);
  close(fds[0]);
  trans_config_t cfg = kHeaderCfg;
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(trans_complete_open(high, &cfg), -1);
  EXPECT_EQ(errno, EMFILE);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fd_is_open(high));
  // Said without any debug setting, since nothing else would tell why every connection
  // of such a process fails.
  std::vector<std::string> lines = zvtest::split_lines(err);
  ASSERT_EQ(lines.size(), 1u) << err;
  const std::string line =
      "ERROR: Connection on socket descriptor 1500 refused: the transport serves descriptors "
      "below 1024 only";
  EXPECT_EQ(lines[0].size() - lines[0].rfind(line), line.size()) << err;
  EXPECT_EQ(err.back(), '\n');
  Buf m{};
  errno = 0;
  EXPECT_EQ(trans_get(high, m.b, sizeof m.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  EXPECT_EQ(trans_put(high, m.b, 1), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
  EXPECT_EQ(trans_close(high), 0);
  EXPECT_EQ(trans_close(-5), 0);
  close(fds[1]);
}

TEST_F(TransportTest, UnresolvableHostGives1007AtOnce) {
  auto t0 = std::chrono::steady_clock::now();
  errno = 0;
  EXPECT_EQ(trans_connect("zv-no-such-host.invalid", 1, kHeaderCfg), -1);
  EXPECT_EQ(errno, TRANS_ERR_NO_HOST);
  // A dotted address is read whole and in decimal, never as inet_aton would take it
  // (1.2.0.3, 10.0.0.44, 87.0.0.1): refused without a connect.
  for (const char *text : {"300.1.2.3", "1.2.3", "10.0.0.44 junk", "0127.0.0.1", "127.0.0.1.5"}) {
    errno = 0;
    EXPECT_EQ(trans_connect(text, 1, kHeaderCfg), -1) << text;
    EXPECT_EQ(errno, TRANS_ERR_NO_HOST) << text;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1))
      << "no connect retry without an address";
}

TEST_F(TransportTest, EmptyHostConnectsToLoopbackAndNamesResolve) {
  RawListener l;
  const char *names[] = {"", "localhost", "127.0.0.1", nullptr};
  for (const char *name : names) {
    std::string label = name ? name : "(null)";
    int fd = trans_connect(name, l.port(), kHeaderCfg);
    ASSERT_GE(fd, 0) << label;
    int peer = l.accept_one();
    ASSERT_GE(peer, 0) << label;
    Buf m;
    memcpy(m.b + 3, "ok", 2);
    ASSERT_EQ(trans_put(fd, m.b, 2), 0);
    EXPECT_EQ(read_n(peer, 5), msg("ok")) << label;
    EXPECT_EQ(trans_close(fd), 0);
    EXPECT_EQ(read_to_eof(peer), "");
    close(peer);
  }
}

TEST_F(TransportTest, ConnectRetriesUntilListenerAppears) {
  int port = free_port();
  std::promise<int> accepted;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 1) != 0) {
      close(lfd);
      accepted.set_value(-1);
      return;
    }
    int fd = accept(lfd, nullptr, nullptr);
    close(lfd);
    accepted.set_value(fd);
  });
  auto t0 = std::chrono::steady_clock::now();
  int fd = trans_connect("127.0.0.1", port, kHeaderCfg);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  late.join();
  int peer = accepted.get_future().get();
  ASSERT_GE(fd, 0);
  ASSERT_GE(peer, 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000)) << "connected before the listener?";
  Buf m;
  memcpy(m.b + 3, "up", 2);
  ASSERT_EQ(trans_put(fd, m.b, 2), 0);
  EXPECT_EQ(read_n(peer, 5), msg("up"));
  trans_close(fd);
  close(peer);
}

void set_stop(int) { zv_shutdown = 1; }

TEST_F(TransportTest, ConnectRetryEndsOnStopSignal) {
  struct sigaction sa{};
  sa.sa_handler = set_stop;
  struct sigaction old{};
  ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
  int port = free_port();
  auto result = std::async(std::launch::async, [&] {
    errno = 0;
    int fd = trans_connect("127.0.0.1", port, kHeaderCfg);
    return std::make_pair(fd, errno);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(getpid(), SIGTERM);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "trans_connect kept retrying after the stop request";
  auto [fd, err] = result.get();
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(err, ECONNREFUSED);
  sigaction(SIGTERM, &old, nullptr);
}

TEST_F(TransportTest, EndlessGetEndsOnStopSignal) {
  struct sigaction sa{};
  sa.sa_handler = set_stop;
  struct sigaction old{};
  ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
  Conn c(kHeaderCfg);
  std::atomic<pthread_t> reader{};
  auto result = std::async(std::launch::async, [&] {
    reader = pthread_self();
    Buf out;
    errno = 0;
    int r = trans_get(c.lib, out.b, sizeof out.b, -1);
    return std::make_pair(r, errno);
  });
  ASSERT_TRUE(zvtest::wait_for([&] { return reader.load() != pthread_t{}; }));
  // The signal must reach the waiting thread to interrupt its poll; it is repeated in
  // case the first one came before the poll began.
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    pthread_kill(reader.load(), SIGTERM);
    ended = result.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
  }
  ASSERT_TRUE(ended);
  auto [r, err] = result.get();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(err, EINTR);
  sigaction(SIGTERM, &old, nullptr);
}

TEST_F(TransportTest, DebugLevelTracesFailuresAndTraffic) {
  Conn c(kHeaderCfg);
  trans_debug = 3;
  testing::internal::CaptureStderr();
  Buf m;
  memcpy(m.b + 3, "hi", 2);
  int put = trans_put(c.lib, m.b, 2);
  std::string h = "M";
  h += '\0';
  h += static_cast<char>(kMax + 1);
  write_all(c.peer, h);
  Buf out;
  int get = trans_get(c.lib, out.b, sizeof out.b, -1);
  std::string err = testing::internal::GetCapturedStderr();
  trans_debug = 0;
  EXPECT_EQ(put, 0);
  EXPECT_EQ(get, -1);
  EXPECT_NE(err.find("put data length 2"), std::string::npos) << err;
  EXPECT_NE(err.find("header 4d 00 02"), std::string::npos) << err;
  EXPECT_NE(err.find("length 65 above 64"), std::string::npos) << err;
}

// --- the synchronising mode -----------------------------------------------------------

TEST_F(TransportTest, SyncModeSkipsGarbageAndSplitsTwoMessagesFromOneSegment) {
  Conn c(kSyncCfg);
  ASSERT_GE(c.lib, 0);
  // Noise, including a false start whose trailer is wrong, before and between messages.
  ASSERT_TRUE(write_all(c.peer, std::string("junk\x03\x02\x00\x01Z?", 10) + sync_msg("first") +
                                    "??" + sync_msg("second")));
  Buf out;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 5);
  EXPECT_EQ(out.str(8), sync_msg("first").substr(0, 8));
  errno = 0;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), 6) << errno;
  EXPECT_EQ(out.str(9), sync_msg("second").substr(0, 9));
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_INCOMPLETE);
}

TEST_F(TransportTest, SyncModeTakesLargestMessageAndTrickles) {
  Conn c(kSyncCfg);
  std::string m = sync_msg(std::string(kSyncMax, 'q'));
  Buf out;
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_TRUE(write_all(c.peer, m.substr(i, 1)));
    ASSERT_TRUE(wait_readable(c.lib));
    int r = trans_get(c.lib, out.b, sizeof out.b, 0);
    if (i + 1 < m.size()) {
      ASSERT_EQ(r, -1) << i;
      ASSERT_EQ(errno, TRANS_ERR_INCOMPLETE) << i;
    } else {
      ASSERT_EQ(r, kSyncMax);
      EXPECT_EQ(out.str(3 + kSyncMax), m.substr(0, 3 + kSyncMax));
    }
  }
}

TEST_F(TransportTest, SyncModeLengthAboveMaxCloses) {
  Conn c(kSyncCfg);
  ASSERT_TRUE(write_all(c.peer, std::string("\x02\x00\x40", 3)));
  Buf out;
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, TRANS_ERR_BAD_LENGTH);
  EXPECT_EQ(read_to_eof(c.peer), "");
}

TEST_F(TransportTest, SyncModeHandsOutCompleteMessagesBeforeThePeersClose) {
  Conn c(kSyncCfg);
  // Two whole messages and the start of a third, then the close: the first read takes
  // all of it, so the second message is in the buffer when the close is read.
  ASSERT_TRUE(write_all(c.peer, sync_msg("ab") + sync_msg("cde") + std::string("\x02\x00", 2)));
  close(c.peer);
  c.peer = -1;
  Buf out;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 2);
  EXPECT_EQ(out.str(5), sync_msg("ab").substr(0, 5));
  errno = 0;
  ASSERT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), 3) << errno;
  EXPECT_EQ(out.str(6), sync_msg("cde").substr(0, 6));
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, -1), -1);
  EXPECT_EQ(errno, EPIPE) << "the close, once nothing complete is left";
  errno = 0;
  EXPECT_EQ(trans_get(c.lib, out.b, sizeof out.b, 0), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN) << "the connection is released";
}

TEST_F(TransportTest, PutFramesWritesTheOctetsOfOnePutEach) {
  Conn c(kHeaderCfg);
  // More messages than one write takes, their data elsewhere than behind the headers.
  std::string data = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<unsigned char[3]> headers(1500);
  std::vector<trans_frame_t> frames;
  std::string want;
  for (size_t i = 0; i < headers.size(); ++i) {
    int n = static_cast<int>(i % data.size());
    frames.push_back({headers[i], reinterpret_cast<const unsigned char *>(data.data()), n});
    want += msg(data.substr(0, static_cast<size_t>(n)));
  }
  int done = -1;
  std::string got;
  std::thread reader([&] { got = read_n(c.peer, want.size()); });
  ASSERT_EQ(trans_put_frames(c.lib, frames.data(), static_cast<int>(frames.size()), &done), 0);
  reader.join();
  EXPECT_EQ(done, static_cast<int>(frames.size()));
  ASSERT_EQ(got.size(), want.size());
  size_t diff = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
  EXPECT_EQ(diff, want.size()) << "first different octet";

  unsigned char h[3];
  trans_frame_t too_long = {h, reinterpret_cast<const unsigned char *>(data.data()), kMax + 1};
  trans_frame_t fine = {h, reinterpret_cast<const unsigned char *>(data.data()), 1};
  trans_frame_t bad[] = {fine, too_long};
  errno = 0;
  EXPECT_EQ(trans_put_frames(c.lib, bad, 2, &done), -1);
  EXPECT_EQ(errno, TRANS_ERR_BAD_LENGTH);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(read_to_eof(c.peer), "") << "nothing written, connection closed";
  errno = 0;
  EXPECT_EQ(trans_put_frames(c.lib, &fine, 1, nullptr), -1);
  EXPECT_EQ(errno, TRANS_ERR_NOT_OPEN);
}

TEST_F(TransportTest, PutFramesToClosedPeerGivesEpipeAndCountsWholeMessages) {
  Conn c(kHeaderCfg);
  close(c.peer);
  c.peer = -1;
  std::string data(kMax, 'p');
  std::vector<unsigned char[3]> headers(4000);
  std::vector<trans_frame_t> frames;
  for (auto &h : headers)
    frames.push_back({h, reinterpret_cast<const unsigned char *>(data.data()), kMax});
  int r = 0, done = -1;
  for (int i = 0; i < 100 && r == 0; ++i) {
    r = trans_put_frames(c.lib, frames.data(), static_cast<int>(frames.size()), &done);
    if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
  EXPECT_GE(done, 0);
  EXPECT_LT(done, static_cast<int>(frames.size()));
  EXPECT_FALSE(fd_is_open(c.lib));
}

TEST_F(TransportTest, PutFramesNeedsAFramingWithoutTrailer) {
  Conn c(kSyncCfg);
  unsigned char h[3];
  trans_frame_t f = {h, nullptr, 0};
  errno = 0;
  EXPECT_EQ(trans_put_frames(c.lib, &f, 1, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  Buf m;
  memcpy(m.b + 3, "ok", 2);
  EXPECT_EQ(trans_put(c.lib, m.b, 2), 0) << "the connection is left open";
  EXPECT_EQ(read_n(c.peer, 6), sync_msg("ok"));
}

TEST_F(TransportTest, SyncModePutAppendsTrailer) {
  Conn c(kSyncCfg);
  Buf m;
  memcpy(m.b + 3, "xyz", 3);
  ASSERT_EQ(trans_put(c.lib, m.b, 3), 0);
  EXPECT_EQ(read_n(c.peer, 7), sync_msg("xyz"));
}

// --- listening --------------------------------------------------------------------------

struct ListenState {
  std::atomic<int> served{0};
  std::atomic<int> stop_after{1000};
  std::string peer_addr;
  int peer_port = 0;
};
ListenState g_listen;

// Ends a trans_listen running on another thread when the test leaves its scope, failed
// assertions included; declare it after the future that runs the listen.
struct StopListen {
  ~StopListen() { zv_shutdown = 1; }
};

// Echoes one message back, then ends the listen once enough connections were served.
int echo_accept(int fd, int port, char *addr) {
  g_listen.peer_addr = addr;
  g_listen.peer_port = port;
  Buf m;
  int n = trans_get(fd, m.b, sizeof m.b, 5000);
  if (n >= 0) trans_put(fd, m.b, n);
  trans_close(fd);
  return ++g_listen.served >= g_listen.stop_after ? 1 : 0;
}

TEST_F(TransportTest, ListenServesConnectionsOneAtATimeUntilAcceptFuncStops) {
  int port = free_port();
  g_listen.stop_after = 3;
  auto listener = std::async(std::launch::async, [&] {
    errno = 0;
    return trans_listen("127.0.0.1", port, kHeaderCfg, echo_accept);
  });
  for (int i = 0; i < 3; ++i) {
    int fd = trans_connect("127.0.0.1", port, kHeaderCfg);
    ASSERT_GE(fd, 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr *>(&me), &len);
    Buf m;
    std::string data = "echo " + std::to_string(i);
    memcpy(m.b + 3, data.data(), data.size());
    ASSERT_EQ(trans_put(fd, m.b, static_cast<int>(data.size())), 0);
    Buf back;
    ASSERT_EQ(trans_get(fd, back.b, sizeof back.b, 5000), static_cast<int>(data.size()));
    EXPECT_EQ(back.str(3 + static_cast<int>(data.size())), msg(data));
    trans_close(fd);
    EXPECT_EQ(g_listen.peer_addr, "127.0.0.1");
    EXPECT_EQ(g_listen.peer_port, ntohs(me.sin_port));
  }
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(listener.get(), -1);
  EXPECT_EQ(raw_connect(port), -1) << "the listening socket is closed";
}

TEST_F(TransportTest, ListenEndsOnShutdownFlag) {
  int port = free_port();
  g_listen.stop_after = 1000;
  auto listener = std::async(std::launch::async, [&] {
    errno = 0;
    int r = trans_listen("", port, kHeaderCfg, echo_accept);
    return std::make_pair(r, errno);
  });
  ASSERT_TRUE(zvtest::wait_for([&] {
    int fd = raw_connect(port);
    if (fd < 0) return false;
    close(fd);
    return true;
  }));
  zv_shutdown = 1;
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto [r, err] = listener.get();
  EXPECT_EQ(r, -1);
  EXPECT_EQ(err, EINTR);
}

TEST_F(TransportTest, ListenRefusesADescriptorAboveTheTableAndServesTheNextClient) {
  rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  if (rl.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low to test";
  if (rl.rlim_cur < 1200) {
    rl.rlim_cur = 1200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  }
  int port = free_port();
  g_listen.served = 0;
  g_listen.stop_after = 2;
  auto listener = std::async(std::launch::async, [&] {
    errno = 0;
    return trans_listen("127.0.0.1", port, kHeaderCfg, echo_accept);
  });
  StopListen stop;
  // The first connection that gets through is served (and counted) like any other.
  ASSERT_TRUE(zvtest::wait_for([&] {
    int fd = raw_connect(port);
    if (fd < 0) return false;
    close(fd);
    return true;
  }));
  ASSERT_TRUE(zvtest::wait_for([] { return g_listen.served == 1; }));

  // Every descriptor below the table's end taken, so the next accept gets one above it.
  std::vector<int> fillers;
  int base = open("/dev/null", O_RDONLY);
  ASSERT_GE(base, 0);
  fillers.push_back(base);
  while (fillers.back() < TRANS_MAX_FD - 1 && fillers.size() < 2 * TRANS_MAX_FD) {
    int d = dup(base);
    ASSERT_GE(d, 0) << strerror(errno);
    fillers.push_back(d);
  }
  int high = raw_connect(port);
  ASSERT_GE(high, TRANS_MAX_FD);
  EXPECT_EQ(read_to_eof(high), "") << "the connection is closed";
  close(high);
  EXPECT_EQ(g_listen.served, 1) << "a refused connection never reaches accept_func";
  for (int d : fillers) close(d);

  int good = raw_connect(port);
  ASSERT_GE(good, 0) << "the listener must still be there";
  ASSERT_TRUE(write_all(good, msg("still here")));
  EXPECT_EQ(read_n(good, 13), msg("still here"));
  close(good);
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(listener.get(), -1);
  EXPECT_EQ(g_listen.served, 2);
}

TEST_F(TransportTest, ListenOnBusyPortFailsWithBindCode) {
  RawListener busy;
  errno = 0;
  EXPECT_EQ(trans_listen("127.0.0.1", busy.port(), kHeaderCfg, echo_accept), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  errno = 0;
  EXPECT_EQ(trans_listen("zv-no-such-host.invalid", 1, kHeaderCfg, echo_accept), -1);
  EXPECT_EQ(errno, TRANS_ERR_NO_HOST);
}

// --- threads ----------------------------------------------------------------------------

TEST_F(TransportTest, ThreadsOnTheirOwnConnectionsDoNotInterfere) {
  constexpr int threads = 8, rounds = 200;
  std::vector<std::thread> pool;
  std::atomic<int> good{0};
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      Conn c(kHeaderCfg);
      if (c.lib < 0 || c.peer < 0) return;
      std::thread echo([&] {
        // A plain echo at the far end, byte for byte.
        char b[512];
        for (;;) {
          ssize_t r = read(c.peer, b, sizeof b);
          if (r <= 0 || !write_all(c.peer, b, static_cast<size_t>(r))) return;
        }
      });
      int ok = 0;
      for (int i = 0; i < rounds; ++i) {
        Buf m;
        int n = (i * 7 + t) % (kMax + 1);
        for (int k = 0; k < n; ++k) m.b[3 + k] = static_cast<unsigned char>(t * 31 + i + k);
        if (trans_put(c.lib, m.b, n) != 0) break;
        Buf back;
        if (trans_get(c.lib, back.b, sizeof back.b, 5000) != n) break;
        if (memcmp(back.b + 3, m.b + 3, static_cast<size_t>(n)) != 0) break;
        ++ok;
      }
      trans_close(c.lib);
      c.lib = -1;
      echo.join();
      if (ok == rounds) ++good;
    });
  }
  for (auto &th : pool) th.join();
  EXPECT_EQ(good, threads);
}

}  // namespace
