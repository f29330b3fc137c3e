// The transaction exchange: exact octets on the wire against plain-socket peers that read
// and write the frames themselves, malformed and trickled peers against the receiver,
// and whole records between this process and a second one.
#include "transport/zv_transport.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "runtime/zv_globals.h"
#include "runtime/zv_translog.h"
#include "transport/zv_transport_services.h"
#include "tests/support/zv_test_support.h"
#include "tests/transport/trans_record_io.h"
#include "tests/transport/trans_test_util.h"

using namespace transtest;

namespace {

// --- the control record as the tests write it, offset by offset -------------------------

std::string padded(const std::string &s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, '\0');
  return r;
}

struct Wire {
  int who = 0, msg_type = 1, prio = 0, ver = 2, port = 0;
  std::string ip, partner_id, isa;
  int imsg = 0, ialloc = 0, omsg = 0, oalloc = 0, lcert = 0, rcert = 0, digest = 0;
  std::string bytes() const {
    std::string s = be32_bytes(who) + be32_bytes(msg_type) + be32_bytes(prio) +
                    be32_bytes(ver) + be32_bytes(port);
    s += padded(ip, 20) + padded(partner_id, 31) + padded(isa, 106) + std::string(3, '\0');
    for (int v : {imsg, ialloc, omsg, oalloc, lcert, rcert, digest}) s += be32_bytes(v);
    return s;
  }
};

// A part as the frames of its type, `chunk` data bytes each.
std::string part_frames(int type, const std::string &data, size_t chunk = 1000) {
  std::string s;
  for (size_t off = 0; off < data.size(); off += chunk) s += frame(type, data.substr(off, chunk));
  return s;
}

std::string pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xff);
  return s;
}

// Flattened id of ABC / XYZ.
std::string abc_xyz_id() { return "ABC" + std::string(12, ' ') + "XYZ" + std::string(13, '\0'); }

// Flattened ids (31 bytes) with a half that is blank or NUL, or that begins with a blank
// (which the lookup takes for an empty half); each names no partner, though the other
// half may be a known one.
std::vector<std::string> ids_with_an_empty_half() {
  return {
      std::string(30, ' ') + '\0',
      "ABC" + std::string(27, ' ') + '\0',
      "ABC" + std::string(12, ' ') + std::string(16, '\0'),
      "ABC" + std::string(12, ' ') + " " + std::string(15, '\0'),
      std::string(15, ' ') + "XYZ" + std::string(13, '\0'),
      std::string(15, '\0') + "XYZ" + std::string(13, '\0'),
      " ABC" + std::string(11, ' ') + "XYZ" + std::string(13, '\0'),
  };
}

// --- a peer that takes one transaction frame by frame and answers with `reply` -----------

// With `hold`, the peer keeps the connection open without a word after reading, until
// release() (or 30 seconds).
class FramePeer {
 public:
  explicit FramePeer(std::string reply, bool hold = false)
      : reply_(std::move(reply)), hold_(hold) {
    th_ = std::thread([this] { run(); });
  }
  ~FramePeer() {
    release();
    join();
  }
  std::string addr() const { return "127.0.0.1:" + std::to_string(l_.port()); }
  void join() {
    if (th_.joinable()) th_.join();
  }
  void release() { released_ = true; }
  std::vector<Frame> frames;
  bool complete = false;
  std::atomic<bool> read_done{false};

 private:
  void run() {
    int fd = l_.accept_one(20000);
    if (fd < 0) return;
    Frame f;
    if (read_frame(fd, &f)) {
      frames.push_back(f);
      if (f.type == TRANS_TCTL && f.data.size() == 208) {
        const std::string &t = f.data;
        int imsg = be32(t, 180), ialloc = be32(t, 184), omsg = be32(t, 188),
            oalloc = be32(t, 192);
        std::pair<int, int> parts[] = {{LOCAL_CERT, be32(t, 196)},
                                       {REMOTE_CERT, be32(t, 200)},
                                       {IN_BUFFER, imsg > 0 && ialloc > 0 ? imsg : 0},
                                       {OUT_BUFFER, omsg > 0 && oalloc > 0 ? omsg : 0},
                                       {DIGEST, be32(t, 204)}};
        complete = true;
        for (auto [type, len] : parts) {
          for (int got = 0; got < len && complete;) {
            complete = read_frame(fd, &f);
            if (complete) {
              frames.push_back(f);
              got += static_cast<int>(f.data.size());
            }
          }
        }
      }
    }
    read_done = true;
    for (int i = 0; hold_ && !released_ && i < 3000; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    write_all(fd, reply_);
    close(fd);
  }
  RawListener l_;
  std::string reply_;
  bool hold_;
  std::atomic<bool> released_{false};
  std::thread th_;
};

// Runs `f` when the scope ends, failed assertions included.
struct OnExit {
  std::function<void()> f;
  ~OnExit() { f(); }
};

const std::string kAck = frame(TRANS_ACK, "");

struct Rec {
  Trans_ctl_rec t;
  std::string in, out;
  Rec() { memset(&t, 0, sizeof t); }
  ~Rec() {
    X509_free(t.pLocalCert);
    X509_free(t.pRemoteCert);
  }
  void input(const std::string &s) {
    in = s;
    t.ibufferp = in.data();
    t.imsg_length = t.ibuf_length = t.ibuf_alloc_length = static_cast<int>(in.size());
  }
  void output(const std::string &s) {
    out = s;
    t.obufferp = out.data();
    t.omsg_length = t.obuf_length = t.obuf_alloc_length = static_cast<int>(out.size());
  }
  void digest(const std::string &s) {
    snprintf(t.digest, sizeof t.digest, "%s", s.c_str());
    t.digest_length = static_cast<int>(s.size());
  }
};

int send_to(Rec &r, const std::string &addr) {
  st_socaddr_t a = {};
  snprintf(a, sizeof a, "%s", addr.c_str());
  return send_transport_msg(&r.t, &a);
}

std::string frame_list(const std::vector<Frame> &frames) {
  std::string s;
  for (auto &f : frames) s += std::to_string(f.type) + ":" + std::to_string(f.data.size()) + " ";
  return s;
}

// A certificate made for the test, loaded as the sender would hold it.
X509 *test_cert(const std::string &cn) {
  std::string dir = zvtest::scratch_dir("trans-cert");
  zvtest::CertSpec spec;
  spec.common_name = cn;
  zvtest::make_key_and_cert(dir + "/k.pem", dir + "/c.pem", spec);
  FILE *f = fopen((dir + "/c.pem").c_str(), "r");
  if (f == nullptr) return nullptr;
  X509 *x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  return x;
}

// Field by field, so that a difference names its field without pages of hex.
void expect_same_record(const std::string &got, const std::string &want) {
  std::vector<std::string> g = zvtest::split_lines(got), w = zvtest::split_lines(want);
  ASSERT_EQ(g.size(), w.size());
  for (size_t i = 0; i < g.size(); ++i)
    EXPECT_TRUE(g[i] == w[i]) << "got  " << g[i].substr(0, 100) << "\nwant " << w[i].substr(0, 100);
}

// Ends a listen_transport running on another thread when the test leaves its scope,
// failed assertions included; declare it after the future that runs the listen.
struct StopListen {
  ~StopListen() { zv_shutdown = 1; }
};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zv_shutdown = 0;
    fill_test_partners();
  }
  void TearDown() override { zv_shutdown = 0; }
};

// --- the sender --------------------------------------------------------------------------

TEST_F(ExchangeTest, Input2500GoesAsFramesOf1000_1000_500AndNothingElse) {
  FramePeer peer(kAck);
  Rec r;
  r.input(pattern(2500, 1));
  ASSERT_EQ(send_to(r, peer.addr()), 0);
  peer.join();
  ASSERT_TRUE(peer.complete);
  ASSERT_EQ(frame_list(peer.frames), "0:208 3:1000 3:1000 3:500 ") << frame_list(peer.frames);
  EXPECT_EQ(peer.frames[1].data + peer.frames[2].data + peer.frames[3].data, r.in);
}

TEST_F(ExchangeTest, ControlFrameOctetsAtEveryOffset) {
  FramePeer peer(kAck);
  Rec r;
  r.t.who = 1;
  r.t.msg_type = 2;
  r.t.iPriority = 1;
  r.t.zvp_version = 3;
  r.t.dest_port = 8003;
  char ip[] = "10.1.2.3";
  r.t.dest_ip = ip;
  std::string isa = "ISA*00*          *00*          *ZZ*ABC            *ZZ*XYZ            "
                    "*010101*0101*U*00401*000000001*0*P*>\n";
  ASSERT_EQ(isa.size(), 106u);
  memcpy(r.t.isa_line, isa.data(), 106);
  r.t.tp_index = 0;
  r.input(pattern(300, 2));
  r.t.ibuf_alloc_length = 400;
  r.output(pattern(20, 3));
  r.digest("0123456789abcdef0123456789abcdef01234567");
  ASSERT_EQ(send_to(r, peer.addr()), 0);
  peer.join();
  ASSERT_FALSE(peer.frames.empty());
  const std::string &t = peer.frames[0].data;
  EXPECT_EQ(zvtest::hex(t.substr(0, 16)), "00000001000000020000000100000003");
  Wire w;
  w.who = 1, w.msg_type = 2, w.prio = 1, w.ver = 3, w.port = 8003;
  w.ip = "10.1.2.3";
  w.partner_id = abc_xyz_id();
  w.isa = isa;
  w.imsg = 300, w.ialloc = 400, w.omsg = 20, w.oalloc = 20, w.digest = 40;
  EXPECT_EQ(zvtest::hex(t), zvtest::hex(w.bytes()));
  EXPECT_EQ(frame_list(peer.frames), "0:208 3:300 4:20 5:40 ");
}

TEST_F(ExchangeTest, DigestOf40CharactersIsOneFrame) {
  FramePeer peer(kAck);
  Rec r;
  r.digest("a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
  ASSERT_EQ(send_to(r, peer.addr()), 0);
  peer.join();
  ASSERT_EQ(frame_list(peer.frames), "0:208 5:40 ");
  EXPECT_EQ(peer.frames[1].data, "a94a8fe5ccb19ba61c4c0873d391e987982fbbd3");
}

TEST_F(ExchangeTest, CertificatesTravelAsDerInOrder) {
  FramePeer peer(kAck);
  Rec r;
  r.t.pLocalCert = test_cert("zv-local");
  r.t.pRemoteCert = test_cert("zv-remote");
  ASSERT_NE(r.t.pLocalCert, nullptr);
  r.input("ISA...");
  r.output(pattern(1500, 4));
  r.digest("d");
  ASSERT_EQ(send_to(r, peer.addr()), 0);
  peer.join();
  std::string local, remote;
  std::vector<int> types;
  for (auto &f : peer.frames) {
    if (types.empty() || types.back() != f.type) types.push_back(f.type);
    if (f.type == LOCAL_CERT) local += f.data;
    if (f.type == REMOTE_CERT) remote += f.data;
    EXPECT_LE(f.data.size(), 1000u);
  }
  EXPECT_EQ(types, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(local, cert_der(r.t.pLocalCert));
  EXPECT_EQ(remote, cert_der(r.t.pRemoteCert));
  EXPECT_EQ(be32(peer.frames[0].data, 196), local.size());
  EXPECT_EQ(be32(peer.frames[0].data, 200), remote.size());
  // An independent reading of the DER that went on the wire.
  std::string dir = zvtest::scratch_dir("trans-der");
  zvtest::write_file(dir + "/local.der", local);
  std::string subject;
  ASSERT_EQ(zvtest::shell("openssl x509 -inform DER -in " + dir + "/local.der -noout -subject",
                          &subject), 0);
  EXPECT_NE(subject.find("zv-local"), std::string::npos) << subject;
}

// Takes every byte of one connection: `expect` bytes, then the acknowledgement, then
// whatever else comes before the sender's close.
struct Capture {
  RawListener l;
  std::string bytes, after_ack;
  std::thread th;
  explicit Capture(size_t expect) {
    th = std::thread([this, expect] {
      int fd = l.accept_one(20000);
      if (fd < 0) return;
      bytes = read_n(fd, expect);
      if (bytes.size() == expect) write_all(fd, kAck);
      after_ack = read_to_eof(fd);
      close(fd);
    });
  }
  ~Capture() {
    if (th.joinable()) th.join();
  }
  std::string addr() const { return "127.0.0.1:" + std::to_string(l.port()); }
};

TEST_F(ExchangeTest, WholeStreamOfATransactionIsTheFramesOfTheWireFormat) {
  X509 *local = test_cert("zv-wire-local"), *remote = test_cert("zv-wire-remote");
  ASSERT_NE(local, nullptr);
  ASSERT_NE(remote, nullptr);
  std::string isa = "ISA*00*          *00*          *ZZ*ABC            *ZZ*XYZ            "
                    "*010101*0101*U*00401*000000001*0*P*>\n";
  // A document of the usual size, and one of more frames than one write of the system
  // takes.
  for (size_t in_len : {8192u, 600001u}) {
    Rec r;
    r.t.who = 1;
    r.t.msg_type = 4;
    r.t.iPriority = 1;
    r.t.zvp_version = 2;
    r.t.dest_port = 8003;
    char ip[] = "10.1.2.3";
    r.t.dest_ip = ip;
    memcpy(r.t.isa_line, isa.data(), 106);
    r.t.tp_index = 0;
    r.input(pattern(in_len, 17));
    r.t.ibuf_alloc_length = static_cast<int>(in_len) + 1;
    r.output(pattern(in_len / 2 + 1500, 18));
    r.digest("0123456789abcdef0123456789abcdef01234567");
    r.t.pLocalCert = X509_dup(local);
    r.t.pRemoteCert = X509_dup(remote);

    Wire w;
    w.who = 1, w.msg_type = 4, w.prio = 1, w.ver = 2, w.port = 8003;
    w.ip = "10.1.2.3";
    w.partner_id = abc_xyz_id();
    w.isa = isa;
    w.imsg = static_cast<int>(r.in.size()), w.ialloc = w.imsg + 1;
    w.omsg = w.oalloc = static_cast<int>(r.out.size());
    w.lcert = static_cast<int>(cert_der(local).size());
    w.rcert = static_cast<int>(cert_der(remote).size());
    w.digest = 40;
    std::string want = frame(TRANS_TCTL, w.bytes()) + part_frames(LOCAL_CERT, cert_der(local)) +
                       part_frames(REMOTE_CERT, cert_der(remote)) +
                       part_frames(IN_BUFFER, r.in) + part_frames(OUT_BUFFER, r.out) +
                       part_frames(DIGEST, "0123456789abcdef0123456789abcdef01234567");

    Capture cap(want.size());
    ASSERT_EQ(send_to(r, cap.addr()), 0) << in_len;
    cap.th.join();
    ASSERT_EQ(cap.bytes.size(), want.size()) << in_len;
    size_t diff = std::mismatch(want.begin(), want.end(), cap.bytes.begin()).first - want.begin();
    EXPECT_EQ(diff, want.size()) << in_len << ": first different octet";
    EXPECT_EQ(cap.after_ack, "") << in_len << ": nothing after the last frame";
  }
  X509_free(local);
  X509_free(remote);
}

TEST_F(ExchangeTest, NoPartnerSendsZeroPartnerId) {
  FramePeer peer(kAck);
  Rec r;
  r.t.tp_index = -1;
  ASSERT_EQ(send_to(r, peer.addr()), 0);
  peer.join();
  ASSERT_EQ(frame_list(peer.frames), "0:208 ");
  EXPECT_EQ(peer.frames[0].data.substr(40, 31), std::string(31, '\0'));
  EXPECT_EQ(peer.frames[0].data.substr(20, 20), std::string(20, '\0')) << "no dest_ip";
}

TEST_F(ExchangeTest, SenderWithoutProperAcknowledgementFails) {
  // An answer that is no acknowledgement may still come from a peer that has the
  // transaction: said at the default level, not only under the transport's debug bit.
  struct Case {
    const char *what;
    std::string reply;
    std::string says;  // the ERROR line's end, after the peer's address
  } cases[] = {
      {"NACK instead", frame(TRANS_NACK, ""),
       " answered the transaction with a frame of type 7, not an acknowledgement - taken as "
       "not acknowledged, though it may have the transaction\n"},
      {"wrong type with data", frame(IN_BUFFER, "x"),
       " answered the transaction with a frame of type 3, not an acknowledgement"},
      {"closed without answer", "", ""},
      {"truncated ack", kAck.substr(0, 2), ""},
      {"ack carrying data", frame(TRANS_ACK, "12345"),
       " answered the transaction with an acknowledgement that carries 5 data bytes - taken as "
       "not acknowledged, though it may have the transaction\n"},
  };
  for (auto &k : cases) {
    FramePeer peer(k.reply);
    Rec r;
    r.input("payload");
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_to(r, peer.addr()), -1) << k.what;
    std::string err = testing::internal::GetCapturedStderr();
    peer.join();
    EXPECT_TRUE(peer.complete) << k.what;
    if (k.says.empty())
      EXPECT_EQ(err.find("ERROR:"), std::string::npos) << k.what << "\n" << err;
    else
      EXPECT_NE(err.find("ERROR: Peer at " + peer.addr() + k.says), std::string::npos)
          << k.what << "\n" << err;
  }
}

TEST_F(ExchangeTest, InconsistentRecordIsRefusedBeforeConnecting) {
  // A listener that never accepts: a sender's connection would wait in its backlog.
  RawListener l;
  std::string addr = "127.0.0.1:" + std::to_string(l.port());
  struct Case {
    const char *what;
    void (*set)(Trans_ctl_rec &);
  } cases[] = {
      {"imsg above alloc", [](Trans_ctl_rec &t) { t.imsg_length = 11, t.ibuf_alloc_length = 10; }},
      {"omsg above alloc", [](Trans_ctl_rec &t) { t.omsg_length = 11, t.obuf_alloc_length = 10; }},
      {"imsg without allocation", [](Trans_ctl_rec &t) { t.ibuf_alloc_length = 0; }},
      {"omsg without allocation",
       [](Trans_ctl_rec &t) { t.obufferp = t.ibufferp, t.omsg_length = 5; }},
      {"no ibuffer", [](Trans_ctl_rec &t) { t.ibufferp = nullptr; }},
      {"no obuffer", [](Trans_ctl_rec &t) { t.omsg_length = t.obuf_alloc_length = 5; }},
      {"digest too long", [](Trans_ctl_rec &t) { t.digest_length = 2049; }},
      {"negative", [](Trans_ctl_rec &t) { t.digest_length = -1; }},
      {"huge alloc", [](Trans_ctl_rec &t) { t.ibuf_alloc_length = ZV_TRANS_MAX_ALLOC + 1; }},
  };
  for (auto &k : cases) {
    Rec r;
    r.input("0123456789");
    k.set(r.t);
    testing::internal::CaptureStderr();
    auto done = std::async(std::launch::async, [&] { return send_to(r, addr); });
    bool ended = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    // A sender that got through waits for an acknowledgement that never comes, until
    // its connection is closed.
    bool connected = wait_readable(l.fd(), 0);
    if (connected) close(l.accept_one());
    int rc = done.get();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended) << k.what;
    EXPECT_EQ(rc, -1) << k.what;
    EXPECT_FALSE(connected) << k.what << ": a connection reached the listener";
    EXPECT_NE(err.find("ERROR: Transport message to (" + addr + ") not sent: "),
              std::string::npos) << k.what << "\n" << err;
  }
}

TEST_F(ExchangeTest, BadAddressIsNotSent) {
  for (const char *a : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:x", "123456789.123456789.1:80"}) {
    Rec r;
    auto done = std::async(std::launch::async, [&] { return send_to(r, a); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready) << a;
    EXPECT_EQ(done.get(), -1) << a;
  }
}

// --- the receiver against hand-made byte streams ------------------------------------------

struct Received {
  int rc = 0;
  int err = 0;
  std::string reply;  // what the peer got back before the close
  Trans_ctl_rec rec;
  st_ipaddr_t ip;
  Received() {
    memset(&rec, 0, sizeof rec);
    memset(ip, 0, sizeof ip);
  }
  ~Received() { free_record(&rec); }
};

// Receives one transaction from a peer that writes `bytes` (one at a time with a pause
// when `trickle_us` is set), then half-closes and reads what comes back.
void receive_from(const std::string &bytes, Received *res, int trickle_us = -1) {
  RawListener l;
  std::thread client([&] {
    int fd = raw_connect(l.port());
    if (fd < 0) return;
    if (trickle_us >= 0) {
      for (char c : bytes) {
        if (!write_all(fd, &c, 1)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(trickle_us));
      }
    } else {
      write_all(fd, bytes);
    }
    shutdown(fd, SHUT_WR);
    res->reply = read_to_eof(fd);
    close(fd);
  });
  int fd = l.accept_one();
  trans_config_t cfg = zv_trans_config;
  ASSERT_EQ(trans_complete_open(fd, &cfg), 0);
  errno = 0;
  res->rc = receive_transport_msg(&res->rec, fd, &res->ip);
  res->err = errno;
  client.join();
}

bool record_is_zero(const Trans_ctl_rec &t) {
  Trans_ctl_rec z;
  memset(&z, 0, sizeof z);
  return memcmp(&t, &z, sizeof z) == 0;
}

TEST_F(ExchangeTest, ReceiverRefusesMalformedAndOversizedAnnouncements) {
  auto tctl = [](std::function<void(Wire &)> set) {
    Wire w;
    w.partner_id = abc_xyz_id();
    set(w);
    return frame(TRANS_TCTL, w.bytes());
  };
  std::string in500 = pattern(500, 5);
  struct Case {
    const char *what;
    std::string bytes;
    int err;  // 0: any
  } cases[] = {
      {"imsg above ialloc", tctl([](Wire &w) { w.imsg = 600, w.ialloc = 500; }) +
                                part_frames(IN_BUFFER, pattern(600, 1)), TRANS_ERR_BAD_LENGTH},
      {"imsg without allocation", tctl([](Wire &w) { w.imsg = 10; }), TRANS_ERR_BAD_LENGTH},
      {"omsg above oalloc", tctl([](Wire &w) { w.omsg = 2, w.oalloc = 1; }),
       TRANS_ERR_BAD_LENGTH},
      {"digest over 2048", tctl([](Wire &w) { w.digest = 2049; }) +
                               part_frames(DIGEST, std::string(2049, 'd')), TRANS_ERR_BAD_LENGTH},
      {"ialloc above limit", tctl([](Wire &w) { w.ialloc = ZV_TRANS_MAX_ALLOC + 1; }),
       TRANS_ERR_BAD_LENGTH},
      {"oalloc 2 GiB", tctl([](Wire &w) { w.oalloc = 0x7fffffff; }), TRANS_ERR_BAD_LENGTH},
      {"local cert above limit", tctl([](Wire &w) { w.lcert = ZV_TRANS_MAX_ALLOC + 1; }),
       TRANS_ERR_BAD_LENGTH},
      {"remote cert negative", tctl([](Wire &w) { w.rcert = -1; }), TRANS_ERR_BAD_LENGTH},
      {"imsg negative", tctl([](Wire &w) { w.imsg = -5, w.ialloc = 10; }), TRANS_ERR_BAD_LENGTH},
      {"more bytes than announced",
       tctl([](Wire &w) { w.imsg = 500, w.ialloc = 500; }) + frame(IN_BUFFER, pattern(600, 2)),
       TRANS_ERR_BAD_LENGTH},
      {"last frame overruns the part",
       tctl([](Wire &w) { w.imsg = 1500, w.ialloc = 1500; }) + frame(IN_BUFFER, pattern(1000, 3)) +
           frame(IN_BUFFER, pattern(501, 3)),
       TRANS_ERR_BAD_LENGTH},
      {"digest frame overruns", tctl([](Wire &w) { w.digest = 4; }) + frame(DIGEST, "12345"),
       TRANS_ERR_BAD_LENGTH},
      {"frame header over 1000",
       tctl([](Wire &w) { w.imsg = 2000, w.ialloc = 2000; }) + std::string("\x00\x03\x03\xe9", 4) +
           pattern(1001, 4),
       TRANS_ERR_BAD_LENGTH},
      {"control frame too long", frame(TRANS_TCTL, std::string(300, '\0')), TRANS_ERR_BAD_LENGTH},
      {"control frame of wrong type", frame(IN_BUFFER, std::string(208, '\0')),
       TRANS_ERR_BAD_TYPE},
      {"wrong part type",
       tctl([](Wire &w) { w.imsg = 500, w.ialloc = 500; }) + part_frames(OUT_BUFFER, in500),
       TRANS_ERR_BAD_TYPE},
      {"parts out of order",
       tctl([](Wire &w) { w.imsg = 500, w.ialloc = 500, w.digest = 3; }) + frame(DIGEST, "abc") +
           part_frames(IN_BUFFER, in500),
       TRANS_ERR_BAD_TYPE},
      {"control frame cut short", frame(TRANS_TCTL, std::string(208, '\0')).substr(0, 100), EPIPE},
      {"stream ends inside a part",
       tctl([](Wire &w) { w.imsg = 500, w.ialloc = 500; }) + frame(IN_BUFFER, in500).substr(0, 300),
       EPIPE},
      {"stream ends before a part", tctl([](Wire &w) { w.omsg = 5, w.oalloc = 5; }), EPIPE},
      {"stream ends before the digest",
       tctl([](Wire &w) { w.imsg = 500, w.ialloc = 500, w.digest = 40; }) +
           part_frames(IN_BUFFER, in500),
       EPIPE},
      {"certificate that is no DER", tctl([](Wire &w) { w.lcert = 10; }) +
                                         frame(LOCAL_CERT, "0123456789"), 0},
      {"empty stream", "", EPIPE},
  };
  for (auto &k : cases) {
    Received res;
    receive_from(k.bytes, &res);
    EXPECT_EQ(res.rc, -1) << k.what;
    if (k.err != 0) {
      EXPECT_EQ(res.err, k.err) << k.what;
    }
    EXPECT_EQ(res.reply, "") << k.what << ": acknowledged " << zvtest::hex(res.reply);
    EXPECT_TRUE(record_is_zero(res.rec)) << k.what << ": record touched";
  }
}

struct FullTransaction {
  std::string local_der, remote_der, in, out, digest;
  Wire w;
  std::string bytes(size_t chunk = 1000) const {
    return frame(TRANS_TCTL, w.bytes()) + part_frames(LOCAL_CERT, local_der, chunk) +
           part_frames(REMOTE_CERT, remote_der, chunk) + part_frames(IN_BUFFER, in, chunk) +
           part_frames(OUT_BUFFER, out, chunk) + part_frames(DIGEST, digest, chunk);
  }
};

FullTransaction full_transaction() {
  FullTransaction f;
  X509 *l = test_cert("zv-recv-local"), *r = test_cert("zv-recv-remote");
  f.local_der = cert_der(l);
  f.remote_der = cert_der(r);
  X509_free(l);
  X509_free(r);
  f.in = pattern(2345, 6);
  f.out = pattern(1001, 7);
  f.digest = "5d41402abc4b2a76b9719d911017c592aabbccdd";
  Wire &w = f.w;
  w.who = 2, w.msg_type = 3, w.prio = 1, w.ver = 3, w.port = 4242;
  w.ip = "192.168.10.20";
  w.partner_id = "DEF" + std::string(12, ' ') + "UVW";
  w.isa = "ISA*00*...";
  w.imsg = static_cast<int>(f.in.size());
  w.ialloc = w.imsg + 100;
  w.omsg = static_cast<int>(f.out.size());
  w.oalloc = w.omsg;
  w.lcert = static_cast<int>(f.local_der.size());
  w.rcert = static_cast<int>(f.remote_der.size());
  w.digest = static_cast<int>(f.digest.size());
  return f;
}

void expect_received(const FullTransaction &f, const Received &res, const std::string &label) {
  ASSERT_EQ(res.rc, 0) << label << " errno " << res.err;
  EXPECT_EQ(res.reply, kAck) << label;
  const Trans_ctl_rec &t = res.rec;
  EXPECT_EQ(t.who, 2);
  EXPECT_EQ(t.msg_type, 3);
  EXPECT_EQ(t.iPriority, 1);
  EXPECT_EQ(t.zvp_version, 3);
  EXPECT_EQ(t.dest_port, 4242);
  EXPECT_EQ(t.dest_ip, res.ip);
  EXPECT_STREQ(res.ip, "192.168.10.20");
  EXPECT_EQ(std::string(t.isa_line, 106), padded("ISA*00*...", 106));
  EXPECT_EQ(t.imsg_length, static_cast<int>(f.in.size()));
  EXPECT_EQ(t.ibuf_length, t.imsg_length);
  EXPECT_EQ(t.ibuf_alloc_length, t.imsg_length + 100);
  ASSERT_NE(t.ibufferp, nullptr);
  EXPECT_EQ(std::string(t.ibufferp, t.imsg_length), f.in) << label;
  EXPECT_EQ(std::string(t.ibufferp + t.imsg_length, 100), std::string(100, '\0'));
  EXPECT_EQ(t.omsg_length, static_cast<int>(f.out.size()));
  ASSERT_NE(t.obufferp, nullptr);
  EXPECT_EQ(std::string(t.obufferp, t.omsg_length), f.out) << label;
  EXPECT_EQ(t.digest_length, 40);
  EXPECT_EQ(std::string(t.digest, 41), f.digest + '\0');
  EXPECT_EQ(cert_der(t.pLocalCert), f.local_der);
  EXPECT_EQ(cert_der(t.pRemoteCert), f.remote_der);
}

TEST_F(ExchangeTest, ReceiverRebuildsEveryField) {
  FullTransaction f = full_transaction();
  Received res;
  receive_from(f.bytes(), &res);
  expect_received(f, res, "whole");
}

TEST_F(ExchangeTest, ReceiverJoinsSmallFramesAndTrickledBytes) {
  FullTransaction f = full_transaction();
  // Shorter parts keep the byte-at-a-time peer quick.
  f.in = pattern(1200, 8);
  f.w.imsg = 1200, f.w.ialloc = 1300;
  {
    Received res;
    receive_from(f.bytes(7), &res);
    expect_received(f, res, "7-byte frames");
  }
  {
    Received res;
    receive_from(f.bytes(), &res, 20);
    expect_received(f, res, "trickled");
  }
}

TEST_F(ExchangeTest, ReceiverCutsOneTransactionFromAPeerThatSendsTwoAtOnce) {
  // The first is larger than one read takes in, so its frames straddle what each read
  // brings; the second follows in the same write and must be left alone.
  FullTransaction f = full_transaction();
  f.in = pattern(70001, 19);
  f.w.imsg = 70001, f.w.ialloc = 70101;
  FullTransaction g = full_transaction();
  Received res;
  receive_from(f.bytes() + g.bytes(), &res);
  expect_received(f, res, "the first of two");
}

// A self-signed certificate whose DER is `bytes` octets or more, by a comment extension.
X509 *large_cert(size_t bytes) {
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
  X509 *x = X509_new();
  X509_set_version(x, 2);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("zv-large"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  std::string comment(bytes, 'c');
  X509_EXTENSION *e = X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str());
  X509_add_ext(x, e, -1);
  X509_EXTENSION_free(e);
  X509_sign(x, key.get(), EVP_sha256());
  return x;
}

TEST_F(ExchangeTest, SameCertificateIsParsedOnceAndAChangedOneAfresh) {
  FullTransaction f = full_transaction();
  Received first, second;
  receive_from(f.bytes(), &first);
  receive_from(f.bytes(), &second);
  expect_received(f, first, "first");
  expect_received(f, second, "second");
  // Each record holds its own reference to the one parsed object.
  EXPECT_EQ(second.rec.pLocalCert, first.rec.pLocalCert);
  EXPECT_EQ(second.rec.pRemoteCert, first.rec.pRemoteCert);
  EXPECT_NE(first.rec.pLocalCert, first.rec.pRemoteCert);

  FullTransaction g = f;
  X509 *other = test_cert("zv-changed");
  g.local_der = cert_der(other);
  X509_free(other);
  g.w.lcert = static_cast<int>(g.local_der.size());
  Received third;
  receive_from(g.bytes(), &third);
  ASSERT_EQ(third.rc, 0);
  EXPECT_NE(third.rec.pLocalCert, first.rec.pLocalCert) << "a changed certificate is parsed";
  EXPECT_EQ(cert_der(third.rec.pLocalCert), g.local_der);
  EXPECT_EQ(third.rec.pRemoteCert, first.rec.pRemoteCert);
  free_record(&first.rec);
  EXPECT_EQ(cert_der(second.rec.pLocalCert), f.local_der) << "still held by the second record";

  // A certificate too large to keep is parsed each time.
  X509 *big = large_cert(20000);
  Wire w;
  w.partner_id = abc_xyz_id();
  std::string big_der = cert_der(big);
  X509_free(big);
  w.lcert = static_cast<int>(big_der.size());
  Received big1, big2;
  receive_from(frame(TRANS_TCTL, w.bytes()) + part_frames(LOCAL_CERT, big_der), &big1);
  receive_from(frame(TRANS_TCTL, w.bytes()) + part_frames(LOCAL_CERT, big_der), &big2);
  ASSERT_EQ(big1.rc, 0);
  ASSERT_EQ(big2.rc, 0);
  EXPECT_NE(big1.rec.pLocalCert, big2.rec.pLocalCert);
  EXPECT_EQ(cert_der(big2.rec.pLocalCert), big_der);

  // Once enough other certificates have come, the first is parsed again.
  for (int i = 0; i < 8; ++i) {
    std::string dir = zvtest::scratch_dir("trans-cache");
    zvtest::CertSpec spec;
    spec.bits = 1024;
    spec.common_name = "zv-cache-" + std::to_string(i);
    zvtest::make_key_and_cert(dir + "/k.pem", dir + "/c.pem", spec);
    std::string pem = zvtest::read_file(dir + "/c.pem");
    std::unique_ptr<BIO, void (*)(BIO *)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free_all);
    X509 *x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    ASSERT_NE(x, nullptr);
    Wire wi;
    wi.partner_id = abc_xyz_id();
    std::string der = cert_der(x);
    X509_free(x);
    wi.rcert = static_cast<int>(der.size());
    Received ri;
    receive_from(frame(TRANS_TCTL, wi.bytes()) + part_frames(REMOTE_CERT, der), &ri);
    ASSERT_EQ(ri.rc, 0) << i;
  }
  Received again;
  receive_from(f.bytes(), &again);
  expect_received(f, again, "after eight others");
  EXPECT_NE(again.rec.pLocalCert, second.rec.pLocalCert) << "parsed afresh";
}

TEST_F(ExchangeTest, AllocationWithoutMessageAndNothingAnnounced) {
  Wire w;
  w.ialloc = 64;
  w.partner_id = abc_xyz_id();
  Received res;
  receive_from(frame(TRANS_TCTL, w.bytes()), &res);
  ASSERT_EQ(res.rc, 0);
  EXPECT_EQ(res.reply, kAck);
  ASSERT_NE(res.rec.ibufferp, nullptr);
  EXPECT_EQ(std::string(res.rec.ibufferp, 64), std::string(64, '\0'));
  EXPECT_EQ(res.rec.imsg_length, 0);
  EXPECT_EQ(res.rec.obufferp, nullptr);
  EXPECT_EQ(res.rec.pLocalCert, nullptr);
  EXPECT_EQ(res.rec.digest[0], '\0');
}

TEST_F(ExchangeTest, DestIpFillingAllTwentyBytesStillEnds) {
  Wire w;
  w.ip = std::string(20, '7');
  Received res;
  receive_from(frame(TRANS_TCTL, w.bytes()), &res);
  ASSERT_EQ(res.rc, 0);
  EXPECT_EQ(std::string(res.ip), std::string(19, '7'));
}

TEST_F(ExchangeTest, PartnerIdResolvesOrGivesMinusOne) {
  struct Case {
    std::string id;
    int tp_index;
  } cases[] = {
      {abc_xyz_id(), 0},
      {"LOCAL6789012345REMOTE789012345" + std::string(1, '\0'), 1},
      {"DEF" + std::string(12, ' ') + "UVW" + std::string(13, '\0'), 2},
      {"NOBODY" + std::string(9, ' ') + "XYZ" + std::string(13, '\0'), -1},
      {std::string(31, '\0'), -1},
      {std::string(15, ' ') + std::string(16, '\0'), -1},
      {"ABC" + std::string(12, ' ') + "XYZ" + std::string(12, ' ') + '\0', 0},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (const std::string &id : ids_with_an_empty_half()) all.push_back({id, -1});
  for (auto &k : all) {
    Wire w;
    w.partner_id = k.id;
    Received res;
    res.rec.tp_index = 5;
    receive_from(frame(TRANS_TCTL, w.bytes()), &res);
    ASSERT_EQ(res.rc, 0) << zvtest::hex(k.id);
    EXPECT_EQ(res.reply, kAck) << "an unknown partner does not stop the receive";
    EXPECT_EQ(res.rec.tp_index, k.tp_index) << zvtest::hex(k.id);
  }
}

// --- both ends in this process, through listen_transport --------------------------------

struct Inbox {
  std::atomic<int> count{0};
  Trans_ctl_rec rec;
  st_ipaddr_t ip;
};
Inbox g_inbox;

int inbox_accept(int fd, int, char *) {
  memset(&g_inbox.rec, 0, sizeof g_inbox.rec);
  if (receive_transport_msg(&g_inbox.rec, fd, &g_inbox.ip) == 0) ++g_inbox.count;
  return 0;
}

TEST_F(ExchangeTest, SendAndReceiveThroughListenTransport) {
  std::string addr = "127.0.0.1:" + std::to_string(free_port());
  st_socaddr_t listen_addr = {};
  snprintf(listen_addr, sizeof listen_addr, "%s", addr.c_str());
  auto listener = std::async(std::launch::async, [&] {
    return listen_transport(&listen_addr, inbox_accept);
  });
  StopListen stop;
  Rec r;
  r.t.who = 4;
  r.t.msg_type = 9;
  r.t.tp_index = 1;
  char ip[] = "127.0.0.1";
  r.t.dest_ip = ip;
  r.t.dest_port = 8003;
  r.input(pattern(8192, 9));
  r.output(pattern(3, 10));
  r.digest(std::string(2048, 'f'));
  r.t.pRemoteCert = test_cert("zv-through");
  ASSERT_EQ(send_to(r, addr), 0);
  // The receiver hands the record on just after its acknowledgement.
  ASSERT_TRUE(zvtest::wait_for([] { return g_inbox.count == 1; }));
  Trans_ctl_rec &got = g_inbox.rec;
  expect_same_record(serialize(got), serialize(r.t));
  EXPECT_EQ(got.tp_index, 1);
  free_record(&got);
  zv_shutdown = 1;
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(listener.get(), -1);
}

TEST_F(ExchangeTest, ListenTransportRefusesBadAddressAndStopsOnShutdown) {
  st_socaddr_t a = {};
  snprintf(a, sizeof a, "%s", "no-port-here");
  EXPECT_EQ(listen_transport(&a, inbox_accept), -1);
  snprintf(a, sizeof a, "127.0.0.1:%d", free_port());
  zv_shutdown = 1;
  EXPECT_EQ(listen_transport(&a, inbox_accept), -1);
  zv_shutdown = 0;
  snprintf(a, sizeof a, "%s", "zv-no-such-host.invalid:5000");
  EXPECT_EQ(listen_transport(&a, inbox_accept), -1);
}

TEST_F(ExchangeTest, TraceLinesOfBothEndsUnderDebugBit8) {
  std::string addr = "127.0.0.1:" + std::to_string(free_port());
  st_socaddr_t listen_addr = {};
  snprintf(listen_addr, sizeof listen_addr, "%s", addr.c_str());
  g_inbox.count = 0;
  debug_level = 8;
  testing::internal::CaptureStderr();
  auto listener = std::async(std::launch::async, [&] {
    return listen_transport(&listen_addr, inbox_accept);
  });
  StopListen stop;
  Rec r;
  r.t.tp_index = 0;
  r.input(pattern(1200, 13));
  r.t.obuf_alloc_length = 16;
  r.digest("abc");
  int sent = send_to(r, addr);
  bool got = zvtest::wait_for([] { return g_inbox.count == 1; });
  Rec bad;
  int no_colon = send_to(bad, "127.0.0.1");
  int no_host = send_to(bad, "zvnohost.invalid:80");
  std::string err = testing::internal::GetCapturedStderr();
  debug_level = 0;
  free_record(&g_inbox.rec);
  ASSERT_EQ(sent, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(no_colon, -1);
  EXPECT_EQ(no_host, -1);
  // Each line in its order on its own side (the two sides interleave).
  std::vector<std::string> sender = {
      "Sending transport message to " + addr + "\n",
      "-- dump_tctlp -----------------------------\n",
      "Sending trans_tctl, length = 208\n",
      "Sending ibuffer, length = 1200\n",
      "Sending digest, length = 3\n",
      "Cannot determine proper addr, port in (127.0.0.1) - message not sent\n",
      "Connect to local transport target at address (zvnohost.invalid:80) failed - "
      "message not sent\n"};
  std::vector<std::string> receiver = {
      "Reading transport message from socket = ",
      "Reading trans_tctl, length = 208\n",
      "No local cert to read\n",
      "No remote cert to read\n",
      "Reading ibuffer, length = 1200\n",
      "obuffer allocated, nothing to read\n",
      "Reading digest, length = 3\n",
      "-- END of dump_tctlp ----------------------\n"};
  for (auto *side : {&sender, &receiver}) {
    size_t at = 0;
    for (auto &line : *side) {
      size_t found = err.find(line, at);
      EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << err;
      if (found != std::string::npos) at = found + line.size();
    }
  }
}

// Standard error into a file for the scope, which can be read while the scope lasts.
class StderrToFile {
 public:
  explicit StderrToFile(std::string path) : path_(std::move(path)) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 2);
      close(fd);
    }
  }
  ~StderrToFile() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  StderrToFile(const StderrToFile &) = delete;
  StderrToFile &operator=(const StderrToFile &) = delete;
  std::string text() const { return zvtest::read_file(path_); }

 private:
  std::string path_;
  int saved_;
};

// A sender whose receiver reads nothing has announced every part while it is still
// blocked in the write; the part the write failed in is named once it has failed.
TEST_F(ExchangeTest, BlockedSenderShowsItsPartsBeforeTheWriteEnds) {
  RawListener l;
  // A small receive window, so that the write blocks early whatever the system's sizes.
  int small = 4096;
  ASSERT_EQ(setsockopt(l.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const std::string addr = "127.0.0.1:" + std::to_string(l.port());
  Rec r;
  r.t.tp_index = 0;
  r.input(pattern(8 * 1000 * 1000, 17));
  r.digest("abc");
  // The sender's lines that tell its parts, without the log prefix.
  auto sending_lines = [](const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &l : zvtest::split_lines(text)) {
      size_t at = l.find("):Sending ");
      if (at != std::string::npos && l.find("Sending transport message") == std::string::npos)
        out.push_back(l.substr(at + 2));
    }
    return out;
  };
  const std::vector<std::string> announced = {"Sending trans_tctl, length = 208",
                                              "Sending ibuffer, length = 8000000",
                                              "Sending digest, length = 3"};
  std::string while_blocked, after;
  bool blocked = false, ended = false;
  int rc = 0;
  {
    StderrToFile err(zvtest::scratch_dir("trans-blocked") + "/err");
    debug_level = 8;
    auto sent = std::async(std::launch::async, [&] { return send_to(r, addr); });
    OnExit end{[&] { zv_shutdown = 1; }};
    int peer = l.accept_one();
    blocked = zvtest::wait_for([&] {
      while_blocked = err.text();
      return sending_lines(while_blocked).size() >= announced.size();
    });
    blocked = blocked && sent.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready;
    zv_shutdown = 1;
    ended = sent.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    rc = ended ? sent.get() : 0;
    debug_level = 0;
    after = err.text();
    if (peer >= 0) close(peer);
  }
  ASSERT_TRUE(blocked) << while_blocked;
  EXPECT_EQ(sending_lines(while_blocked), announced) << while_blocked;
  ASSERT_TRUE(ended);
  EXPECT_EQ(rc, -1);
  std::vector<std::string> want = announced;
  want.push_back("Sending ibuffer failed, errno = " + std::to_string(EINTR));
  EXPECT_EQ(sending_lines(after), want) << after;
}

TEST_F(ExchangeTest, StopStatusOfTheTransactionLoggerReachesTheReceiptClient) {
  zv_register_transport_services();
  std::string addr = "127.0.0.1:" + std::to_string(free_port());
  snprintf(zv_receipt_socaddr, sizeof zv_receipt_socaddr, "%s", addr.c_str());
  st_socaddr_t listen_addr = {};
  snprintf(listen_addr, sizeof listen_addr, "%s", addr.c_str());
  g_inbox.count = 0;
  auto listener = std::async(std::launch::async, [&] {
    return listen_transport(&listen_addr, inbox_accept);
  });
  StopListen stop;
  Trans_ctl_rec t;
  memset(&t, 0, sizeof t);
  t.who = ZV_WHO_STD_SERVER;
  t.tp_index = 2;
  unsigned char text[128];
  ASSERT_EQ(iGenerateZvStatus(&t, text, nullptr), 0);
  ASSERT_TRUE(zvtest::wait_for([] { return g_inbox.count == 1; }));
  Trans_ctl_rec &got = g_inbox.rec;
  std::string want = "ZVS:           ISA2:STOP_WAN";
  ASSERT_NE(got.ibufferp, nullptr);
  EXPECT_EQ(std::string(got.ibufferp, got.imsg_length), want + '\0');
  EXPECT_EQ(got.who, ZV_WHO_RECEIPT_CLIENT);
  EXPECT_EQ(got.tp_index, 2);
  free_record(&got);
}

// --- peers that stall, and the stop ------------------------------------------------------

TEST_F(ExchangeTest, ShutdownSetInAnotherThreadEndsAReceiveAndAnAcknowledgementWait) {
  // A sender whose receiver took the whole transaction and holds the connection silently.
  FramePeer quiet("", true);
  Rec r;
  r.input(pattern(1500, 15));
  auto sent = std::async(std::launch::async, [&] { return send_to(r, quiet.addr()); });
  // A receiver whose peer sent two bytes of a header and holds the connection.
  RawListener l;
  int stalled = raw_connect(l.port());
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(write_all(stalled, std::string("\0\0", 2)));
  int fd = l.accept_one();
  trans_config_t cfg = zv_trans_config;
  ASSERT_EQ(trans_complete_open(fd, &cfg), 0);
  Received res;
  auto received = std::async(std::launch::async, [&] {
    errno = 0;
    int rc = receive_transport_msg(&res.rec, fd, &res.ip);
    return std::make_pair(rc, errno);
  });
  OnExit end{[&] {
    zv_shutdown = 1;
    quiet.release();
    if (stalled >= 0) shutdown(stalled, SHUT_RDWR);
  }};
  ASSERT_TRUE(zvtest::wait_for([&] { return quiet.read_done.load(); }));
  zv_shutdown = 1;
  // Both peers still hold their connections, so only the stop can end these waits.
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(sent.get(), -1) << "the send fails, so that its caller keeps the document";
  ASSERT_EQ(received.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  auto [rc, err] = received.get();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, EINTR) << "ended by the stop, not by the idle bound";
  EXPECT_TRUE(record_is_zero(res.rec));
  EXPECT_EQ(read_to_eof(stalled), "") << "closed without acknowledgement";
  close(stalled);
  stalled = -1;
  quiet.release();
  quiet.join();
  EXPECT_TRUE(quiet.complete);
  EXPECT_EQ(frame_list(quiet.frames), "0:208 3:1000 3:500 ");
}

// A peer connects to a listening process first and stalls after `stall_bytes` (then
// sends the bytes of `dribble` one every half second, never silent for the idle bound); a
// good sender comes next. The stalled connection must be dropped without acknowledgement,
// with the `ERROR:` line that ends in `why`, and the good transaction received and
// acknowledged.
void expect_stall_dropped_ahead_of_good_sender(const std::string &stall_bytes,
                                               const std::string &dribble = "",
                                               const std::string &why = "") {
  std::string dir = zvtest::scratch_dir("trans-stall");
  std::string peer = zvtest::program_path("tests/transport/zv_trans_peer");
  int port = free_port();
  std::string addr = "127.0.0.1:" + std::to_string(port);
  pid_t pid = zvtest::start_program(peer, "zv_trans_peer", {"receive", addr, dir + "/got"}, dir,
                                    "receiver");
  int stalled = -1;
  ASSERT_TRUE(zvtest::wait_for([&] { return (stalled = raw_connect(port)) >= 0; }));
  ASSERT_TRUE(write_all(stalled, stall_bytes));
  std::atomic<bool> dribbling{true};
  std::thread dribbler([&] {
    for (size_t i = 0; i < dribble.size() && dribbling; ++i) {
      for (int slice = 0; slice < 50 && dribbling; ++slice)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (dribbling && !write_all(stalled, dribble.substr(i, 1))) break;
    }
  });
  auto stop_dribbling = [&] {
    dribbling = false;
    if (dribbler.joinable()) dribbler.join();
  };
  OnExit on_exit{stop_dribbling};
  Rec r;
  r.t.tp_index = 0;
  char ip[] = "127.0.0.1";
  r.t.dest_ip = ip;
  r.input(pattern(3000, 16));
  r.digest("0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33");
  auto sent = std::async(std::launch::async, [&] { return send_to(r, addr); });
  bool ended = sent.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  // Without the bound the listener would serve the stalled peer until it goes away.
  std::string reply = ended ? read_to_eof(stalled) : "(not dropped)";
  stop_dribbling();
  close(stalled);
  EXPECT_TRUE(ended) << "the good sender waited behind the stalled peer";
  EXPECT_EQ(sent.get(), 0);
  EXPECT_EQ(reply, "") << "the stalled peer is not acknowledged";
  zvtest::RunResult rr = zvtest::wait_program(pid, dir, "receiver");
  ASSERT_EQ(rr.status, 0) << rr.err;
  expect_same_record(zvtest::read_file(dir + "/got"), serialize(r.t));
  EXPECT_NE(rr.err.find("ERROR: Transport peer on socket = "), std::string::npos) << rr.err;
  const std::string idle = " sent nothing for " + std::to_string(ZV_TRANS_IDLE_SECONDS) +
                           " seconds with its transaction incomplete - connection dropped "
                           "without acknowledgement\n";
  EXPECT_NE(rr.err.find(why.empty() ? idle : why), std::string::npos) << rr.err;
}

TEST_F(ExchangeTest, PeerStalledInsideAHeaderIsDroppedAndTheNextSenderServed) {
  expect_stall_dropped_ahead_of_good_sender(std::string("\0\0", 2));
}

TEST_F(ExchangeTest, PeerThatSendsNothingIsDroppedAndTheNextSenderServed) {
  expect_stall_dropped_ahead_of_good_sender("");
}

// Every byte restarts the idle bound, so only the bound on the whole transaction ends a
// peer that keeps dribbling: 10 seconds plus a second for every 10,000 of the 516 bytes
// that the control record makes it announce (its own frame and a 300-byte input as one
// frame).
TEST_F(ExchangeTest, PeerThatDribblesIsDroppedAtItsWholeTransactionBound) {
  Wire w;
  w.imsg = w.ialloc = 300;
  ASSERT_EQ(zv_record_deadline_ms(516), 10051);
  expect_stall_dropped_ahead_of_good_sender(
      frame(TRANS_TCTL, w.bytes()), frame(IN_BUFFER, std::string(300, 'd')),
      " did not complete its transaction of 516 bytes within 10.051 seconds - connection "
      "dropped without acknowledgement\n");
}

// --- two processes ----------------------------------------------------------------------

TEST_F(ExchangeTest, TwoProcessesExchangeRecordsByteExactly) {
  std::string dir = zvtest::scratch_dir("trans-peer");
  std::string peer = zvtest::program_path("tests/transport/zv_trans_peer");
  std::string addr = "127.0.0.1:" + std::to_string(free_port());

  // This process sends, the peer process receives.
  pid_t pid = zvtest::start_program(peer, "zv_trans_peer", {"receive", addr, dir + "/got"}, dir,
                                    "receiver");
  Rec r;
  r.t.who = 0;
  r.t.msg_type = 3;
  r.t.iPriority = 1;
  r.t.zvp_version = 2;
  r.t.tp_index = 2;
  char ip[] = "10.20.30.40";
  r.t.dest_ip = ip;
  r.t.dest_port = 9100;
  snprintf(r.t.isa_line, sizeof r.t.isa_line, "%s", "ISA*00*          *00*");
  r.input(pattern(5000, 11));
  r.output(pattern(999, 12));
  r.digest("0beec7b5ea3f0fdbc95d0dd47f3c5bc275da8a33");
  r.t.pLocalCert = test_cert("zv-two-local");
  r.t.pRemoteCert = test_cert("zv-two-remote");
  ASSERT_EQ(send_to(r, addr), 0);
  zvtest::RunResult rr = zvtest::wait_program(pid, dir, "receiver");
  ASSERT_EQ(rr.status, 0) << rr.err;
  expect_same_record(zvtest::read_file(dir + "/got"), serialize(r.t));

  // The peer process sends what it received, this process receives it.
  std::string addr2 = "127.0.0.1:" + std::to_string(free_port());
  st_socaddr_t listen_addr = {};
  snprintf(listen_addr, sizeof listen_addr, "%s", addr2.c_str());
  g_inbox.count = 0;
  auto listener = std::async(std::launch::async, [&] {
    return listen_transport(&listen_addr, inbox_accept);
  });
  StopListen stop;
  zvtest::RunResult sr =
      zvtest::run_program(peer, "zv_trans_peer", {"send", addr2, dir + "/got"}, dir);
  EXPECT_EQ(sr.status, 0) << sr.err;
  ASSERT_TRUE(zvtest::wait_for([] { return g_inbox.count == 1; }));
  expect_same_record(serialize(g_inbox.rec), serialize(r.t));
  free_record(&g_inbox.rec);
  zv_shutdown = 1;
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// --- the helpers ------------------------------------------------------------------------

TEST_F(ExchangeTest, PrepareAddrSplitsAndRefuses) {
  struct Case {
    std::string text;
    int rc;
    std::string host;
    int port;
  } cases[] = {
      {"127.0.0.1:8003", 0, "127.0.0.1", 8003},
      {":8003", 0, "", 8003},
      {"localhost:1", 0, "localhost", 1},
      {"a:b:7", -1, "", 0},
      {"host:65535", 0, "host", 65535},
      {"1234567890123456789:80", 0, "1234567890123456789", 80},
      {"12345678901234567890:80", -1, "", 0},
      {"127.0.0.1", -1, "", 0},
      {"127.0.0.1:0", -1, "", 0},
      {"127.0.0.1:", -1, "", 0},
      {"127.0.0.1:abc", -1, "", 0},
      {"127.0.0.1:65536", -1, "", 0},
      {"127.0.0.1:-80", -1, "", 0},
      // The port as written or nothing, never its leading digits.
      {"127.0.0.1:8003abc", -1, "", 0},
      {"127.0.0.1: 8003", -1, "", 0},
      {"127.0.0.1:+8003", -1, "", 0},
      {"127.0.0.1:1e3", -1, "", 0},
      {"127.0.0.1:08003", 0, "127.0.0.1", 8003},
      {"", -1, "", 0},
  };
  for (auto &k : cases) {
    st_socaddr_t a = {};
    snprintf(a, sizeof a, "%s", k.text.c_str());
    st_ipaddr_t host;
    memset(host, 'U', sizeof host);
    int port = -7;
    EXPECT_EQ(prepare_addr(&a, &host, &port), k.rc) << k.text;
    if (k.rc == 0) {
      EXPECT_EQ(std::string(host), k.host) << k.text;
      EXPECT_EQ(port, k.port) << k.text;
    } else {
      EXPECT_EQ(port, -7) << k.text;
      EXPECT_EQ(host[0], 'U') << k.text;
    }
  }
  st_socaddr_t full;
  memset(full, '9', sizeof full);  // no terminator, no colon
  st_ipaddr_t host;
  int port;
  EXPECT_EQ(prepare_addr(&full, &host, &port), -1);
}

TEST_F(ExchangeTest, FlattenedPartnerId) {
  struct Case {
    int tp_index;
    std::string want;
  } cases[] = {
      {0, "ABC" + std::string(12, ' ') + "XYZ" + std::string(12, '\0') + "~"},
      {1, "LOCAL6789012345REMOTE789012345~"},
  };
  for (auto &k : cases) {
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.tp_index = k.tp_index;
    st_tpid_str_t id;
    memset(id, '~', sizeof id);
    ASSERT_EQ(flaten_partner_id(&t, &id), 0);
    EXPECT_EQ(zvtest::hex(std::string(id, sizeof id)), zvtest::hex(k.want));
  }
  for (int bad : {-1, ZV_MAX_TP, 1000}) {
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.tp_index = bad;
    st_tpid_str_t id;
    memset(id, '~', sizeof id);
    testing::internal::CaptureStderr();
    EXPECT_EQ(flaten_partner_id(&t, &id), -1) << bad;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(id, sizeof id), std::string(31, '~')) << bad;
    // A line of its own, so the next one does not run on from it.
    const std::string line =
        "ERROR: Found an invalid tp_index of " + std::to_string(bad) + " - cannot flaten.\n";
    ASSERT_GE(err.size(), line.size()) << err;
    EXPECT_EQ(err.substr(err.size() - line.size()), line) << bad;
  }
}

TEST_F(ExchangeTest, CreatePartnerIndexRoundTripsFlattenedIds) {
  for (int i : {0, 1, 2}) {
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.tp_index = i;
    st_tpid_str_t id = {};
    ASSERT_EQ(flaten_partner_id(&t, &id), 0);
    int index = -9;
    EXPECT_EQ(create_partner_index(&id, &index), 0) << i;
    EXPECT_EQ(index, i);
  }
  st_tpid_str_t unknown = {};
  memcpy(unknown, "QQQ            ZZZ", 18);
  int index = 33;
  EXPECT_EQ(create_partner_index(&unknown, &index), -1);
  EXPECT_EQ(index, 33) << "left unchanged";
  for (const std::string &text : ids_with_an_empty_half()) {
    st_tpid_str_t id;
    ASSERT_EQ(text.size(), sizeof id);
    memcpy(id, text.data(), sizeof id);
    index = 33;
    EXPECT_EQ(create_partner_index(&id, &index), -1) << zvtest::hex(text);
    EXPECT_EQ(index, 33) << zvtest::hex(text);
  }
}

TEST_F(ExchangeTest, FrameLengthCallbacksAreBigEndian) {
  unsigned char h[4] = {0x00, 0x05, 0x00, 0x00};
  EXPECT_EQ(length_to_header(h, 1000), 0);
  EXPECT_EQ(zvtest::hex(h, 4), "000503e8");
  EXPECT_EQ(length_from_header(h, 4), 1000);
  unsigned char max[4] = {0, 0, 0xff, 0xff};
  EXPECT_EQ(length_from_header(max, 4), 65535);
}

TEST_F(ExchangeTest, CertificateFlattenAndCreateRoundTrip) {
  std::unique_ptr<X509, void (*)(X509 *)> x(test_cert("zv-round"), X509_free);
  ASSERT_TRUE(x);
  unsigned char *der = nullptr;
  int len = 0;
  ASSERT_EQ(flatten_cert_struct(x.get(), &der, &len), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(der), len), cert_der(x.get()));
  X509 *back = nullptr;
  ASSERT_EQ(create_cert_struct(&back, der, len), 0);
  EXPECT_EQ(X509_cmp(back, x.get()), 0);
  X509_free(back);
  X509 *none = nullptr;
  EXPECT_EQ(create_cert_struct(&none, der, len / 2), -1) << "truncated DER";
  EXPECT_EQ(none, nullptr);
  OPENSSL_free(der);
  unsigned char junk[] = "not a certificate";
  EXPECT_EQ(create_cert_struct(&none, junk, sizeof junk), -1);
}

}  // namespace
