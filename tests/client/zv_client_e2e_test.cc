// clientd in its client role, started through its own start-up as a real process in a
// scratch installation, against the ZVP stand-in: every input interface, every
// version-2 EDI envelope, the renames of the directory interface, the exit statuses,
// SIGTERM, and every envelope the stand-in received checked again with
// `openssl asn1parse`.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/zv_interfaces.h"
#include "codec/zv_asn1.h"
#include "runtime/zv_errors.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

using ctu::Installation;
using ctu::StubLine;

// Partner ports of the installation (see client_test_util.h).
constexpr int kStdPort[] = {17001, 17002, 17003, 17004};
constexpr int kHiPort[] = {17101, 17102, 17103, 17104};

class ClientE2E : public ::testing::Test {
 protected:
  void start(const std::string &name, const ctu::InstallOptions &opt = {}) {
    in_ = ctu::make_installation(name, opt);
    stub_.reset(ctu::start_stub(in_));
    ASSERT_GT(stub_.pid(), 0) << zvtest::read_file(in_.dir + "/stub.err");
  }
  // Starts clientd and returns its daemon's pid (or -1; the parent's status in *parent).
  pid_t client(const std::vector<std::string> &args, int *parent = nullptr,
               const std::string &tag = "client") {
    pid_t pid = ctu::start_daemon(in_, ctu::clientd_exe(), "clientd", args, tag, parent);
    client_.reset(pid);
    return pid;
  }
  // The exit status of the client once it ends by itself.
  int client_exit(int timeout_ms = 15000) {
    int st = zvtest::wait_daemon(client_.pid(), timeout_ms);
    client_.reset(-1);
    return st;
  }
  std::string client_err(const std::string &tag = "client") {
    return zvtest::read_file(in_.dir + "/" + tag + ".err");
  }
  std::string client_out(const std::string &tag = "client") {
    return zvtest::read_file(in_.dir + "/" + tag + ".out");
  }
  std::string in_dir(const std::string &name = "") { return in_.dir + "/in_dir/" + name; }

  // Every envelope the stand-in saved parses with the independent parser.
  void expect_envelopes_parse(const std::vector<std::string> &lines) {
    for (const std::string &l : lines) {
      StubLine s = ctu::parse_stub_line(l);
      ctu::bytes der = ctu::saved_envelope(in_, s);
      ASSERT_FALSE(der.empty()) << l;
      EXPECT_EQ(static_cast<int>(der.size()), s.env_len) << l;
      std::string out;
      EXPECT_EQ(ctu::asn1parse(der, &out), 0) << l << "\n" << out;
    }
  }

  void TearDown() override {
    // Stopped the orderly way, so that each releases its shared tables.
    if (client_.alive()) client_.stop();
    // The stand-in ends cleanly too (a sanitizer report would change its status).
    if (stub_.alive()) {
      EXPECT_EQ(stub_.stop(), 0);
    }
  }

  Installation in_;
  rtt::Daemon stub_;
  rtt::Daemon client_;
};

// ---- directory and every EDI envelope -------------------------------------------------

TEST_F(ClientE2E, DirectoryDeliversEveryEdiEnvelopeAndRenamesTheDocuments) {
  start("e2e-dir");
  const std::string basic = ctu::interchange("BLOCAL", "BREMOTE", 500);
  const std::string integ = ctu::interchange("ILOCAL", "IREMOTE", 8192);
  const std::string sig = ctu::interchange("SLOCAL", "SREMOTE", 3000);
  zvtest::write_file(in_dir("basic.edi"), basic);
  zvtest::write_file(in_dir("integ.hpri"), integ);
  zvtest::write_file(in_dir("signed.edi"), sig);
  zvtest::write_file(in_dir("notes.txt"), "not a document");
  zvtest::write_file(in_dir("edifact.edi"), "UNH+1+ORDERS:D:96A:UN'");
  zvtest::write_file(in_dir("stranger.edi"), ctu::interchange("ILOCAL", "NOBODY", 300));
  zvtest::write_file(in_dir("stranger2.hpri"), ctu::interchange("NOBODY", "IREMOTE", 300));
  // A NUL inside: refused whole, not handed over up to the NUL.
  std::string with_nul = ctu::isa_segment("BLOCAL", "BREMOTE") + "\n" + std::string(26, 'n');
  with_nul[120] = '\0';
  zvtest::write_file(in_dir("nul.edi"), with_nul);

  ASSERT_GT(client({"-O"}), 0) << client_err();
  EXPECT_EQ(client_exit(), 0) << client_err();
  EXPECT_NE(client_err().find("client process terminating\n"), std::string::npos);

  EXPECT_EQ(zvtest::list_dir(in_dir()),
            (std::vector<std::string>{"basic.sent", "edifact.notsent", "integ.sent", "notes.txt",
                                      "nul.notsent", "signed.sent", "stranger.notsent",
                                      "stranger2.notsent"}));
  // Nothing was lost on the way: the documents are there under their new names.
  EXPECT_EQ(zvtest::read_file(in_dir("integ.sent")), integ);
  EXPECT_EQ(zvtest::read_file(in_dir("stranger2.notsent")), ctu::interchange("NOBODY", "IREMOTE", 300));
  EXPECT_EQ(zvtest::read_file(in_dir("nul.notsent")), with_nul);

  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 3);
  ASSERT_EQ(lines.size(), 3u) << client_err();
  bool seen[3] = {};
  for (const std::string &l : lines) {
    StubLine s = ctu::parse_stub_line(l);
    EXPECT_EQ(s.version, 2) << l;
    if (s.kind == "basic-edi") {
      seen[0] = true;
      EXPECT_EQ(s.verdict, "consistent") << l;
      EXPECT_EQ(s.partner, "BASICP");
      EXPECT_EQ(s.priority, 0);
      EXPECT_EQ(s.dest, "127.0.0.1:" + std::to_string(kStdPort[0]));
      EXPECT_EQ(s.in_len, static_cast<int>(basic.size()) + 1);
      EXPECT_EQ(s.dig_len, 0);
      EXPECT_EQ(ctu::saved_envelope(in_, s),
                ctu::tlv(0x30, ctu::kOidZvEdi1 + ctu::tlv(0xA0, ctu::tlv(0x04, basic))));
    } else if (s.kind == "integrity-edi") {
      seen[1] = true;
      EXPECT_EQ(s.verdict, "verified") << l;
      EXPECT_EQ(s.partner, "INTEGP");
      EXPECT_EQ(s.priority, 1);
      EXPECT_EQ(s.dest, "127.0.0.1:" + std::to_string(kHiPort[1]));
      EXPECT_EQ(s.dig_len, 40);
      EXPECT_NE(s.detail.find("sha1=" + ctu::sha1_hex(integ)), std::string::npos) << l;
    } else if (s.kind == "signed-edi") {
      seen[2] = true;
      EXPECT_EQ(s.verdict, "verified") << l;
      EXPECT_EQ(s.partner, "SIGNP");
      EXPECT_EQ(s.dest, "127.0.0.1:" + std::to_string(kStdPort[2]));
      EXPECT_EQ(s.dig_len, 512);
      EXPECT_NE(s.detail.find("issuerC=US,issuerO=Zolvar Test Org,serial=1092"), std::string::npos)
          << l;
      // The signature, recovered with the certificate by the crypto tool, is the 55-byte
      // DigestInfo over the document's hex SHA-1.
      ctu::bytes der = ctu::saved_envelope(in_, s);
      const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
      ZV_EDI_MSGtype09 *m = d2i_ZV_EDI_MSG_signed(nullptr, &p, static_cast<long>(der.size()));
      ASSERT_NE(m, nullptr);
      ZV_EDI_MSGtype07 *si = sk_ZV_EDI_MSGtype07_value(m->signedContent->signerInfoS, 0);
      ctu::bytes signature(reinterpret_cast<const char *>(ASN1_STRING_get0_data(si->encryptedDigest)),
                           static_cast<size_t>(ASN1_STRING_length(si->encryptedDigest)));
      ZV_EDI_MSG_09_free(m);
      ctu::bytes block = ctu::recover_signed_block(signature, in_.cert_path);
      EXPECT_EQ(block.size(), 55u);
      EXPECT_EQ(zvtest::hex(block), zvtest::hex(ctu::expected_signed_block(sig)));
    }
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]) << zvtest::read_file(in_.dir + "/zvp_report.txt");
  expect_envelopes_parse(lines);

  // One transaction-log line per refusal; successful sends write none.
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 4u);
  std::vector<int> codes;
  for (const std::string &l : log) codes.push_back(ctu::log_code(l));
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, (std::vector<int>{ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND,
                                     ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND,
                                     ZV_ERRM_UNKNOWN_ISAID_FOUND, ZV_ERRM_UNKNOWN_ISAID_FOUND}));
  EXPECT_EQ(zvtest::list_dir(in_.dir + "/to_remote_failed_messages").size(), 4u);
  EXPECT_EQ(ctu::alerts(in_).size(), 4u);
  std::string err = client_err();
  EXPECT_NE(err.find("ERROR: directory interface: document of 132 bytes from " + in_dir("nul.edi") +
                     " holds a NUL at byte 120 - message not sent\n"),
            std::string::npos)
      << err;
  EXPECT_NE(client_out().find("found EDIFACT Batch input message - Not supported\n"),
            std::string::npos);
  EXPECT_NE(err.find("ERROR: cannot continue processing " + in_dir("edifact.edi") + " - skipping\n"),
            std::string::npos)
      << err;
}

// Where renames cannot refuse to replace and there are no hard links, a document's file
// still takes its new name through the directory held, after a look that nothing has it:
// sent once, not again at the next start, and a name already taken is never replaced.
TEST_F(ClientE2E, DirectoryWithoutNoReplaceRenameOrHardLinksSendsEachDocumentOnce) {
  start("e2e-norename");
  const std::string a = ctu::interchange("BLOCAL", "BREMOTE", 400);
  const std::string b = ctu::interchange("BLOCAL", "BREMOTE", 500);
  zvtest::write_file(in_dir("a.edi"), a);
  zvtest::write_file(in_dir("b.edi"), b);
  zvtest::write_file(in_dir("b.sent"), "an earlier b");
  const std::string shim = zvtest::program_path("tests/client/libctu_no_noreplace.so");
  auto preload = [&] {
    // The sanitizers' runtime wants to come first among the preloaded files.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options =
        std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    return setenv("LD_PRELOAD", shim.c_str(), 1) == 0 &&
           setenv("ASAN_OPTIONS", options.c_str(), 1) == 0;
  };
  int parent = -1;
  client_.reset(
      ctu::start_daemon(in_, ctu::clientd_exe(), "clientd", {"-O"}, "run1", &parent, preload));
  ASSERT_GT(client_.pid(), 0) << parent << client_err("run1");
  EXPECT_EQ(client_exit(), 0) << client_err("run1");
  EXPECT_EQ(client_err("run1").find("FATAL ERROR"), std::string::npos) << client_err("run1");
  // The next start finds only the renamed files: a scan passes them by, nothing is sent.
  client_.reset(ctu::start_daemon(in_, ctu::clientd_exe(), "clientd", {"-d", "1025"}, "run2",
                                  &parent, preload));
  ASSERT_GT(client_.pid(), 0) << parent << client_err("run2");
  EXPECT_TRUE(zvtest::wait_for(
      [&] { return client_err("run2").find("skipping junk2:b.sent") != std::string::npos; }))
      << client_err("run2");
  EXPECT_EQ(client_.stop(10000), 0) << client_err("run2");
  std::vector<std::string> names = zvtest::list_dir(in_dir());
  ASSERT_EQ(names.size(), 3u) << zvtest::read_file(in_.dir + "/run1.err");
  EXPECT_EQ(names[0], "a.sent");
  EXPECT_EQ(names[1], "b.sent");
  EXPECT_EQ(names[2].substr(0, 5), "sent_") << names[2];
  EXPECT_EQ(zvtest::read_file(in_dir("a.sent")), a);
  EXPECT_EQ(zvtest::read_file(in_dir("b.sent")), "an earlier b");
  EXPECT_EQ(zvtest::read_file(in_dir(names[2])), b);
  EXPECT_EQ(ctu::wait_stub_lines(in_, 2).size(), 2u);
  EXPECT_EQ(ctu::stub_lines(in_).size(), 2u) << "each document sent once";
}

// ---- file, test message, raw mode, local identities -----------------------------------

TEST_F(ClientE2E, FileInterfaceSendsTheOneFileAndEnds) {
  start("e2e-file");
  const std::string doc = ctu::interchange("ILOCAL", "IREMOTE", 1000);
  zvtest::write_file(in_.dir + "/one.edi", doc);
  ASSERT_GT(client({"-i", "file", "-F", "one.edi"}), 0) << client_err();
  EXPECT_EQ(client_exit(), 0) << client_err();
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 1);
  ASSERT_EQ(lines.size(), 1u);
  StubLine s = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(s.kind, "integrity-edi");
  EXPECT_EQ(s.verdict, "verified");
  EXPECT_EQ(s.in_len, 1001);
  expect_envelopes_parse(lines);
  // The file interface leaves its file where it is.
  EXPECT_EQ(zvtest::read_file(in_.dir + "/one.edi"), doc);

  // A file the client refuses ends it with -3 (the launcher's status when the end comes
  // before the client has said it started).
  zvtest::write_file(in_.dir + "/bad.edi", "XYZ not an interchange");
  int parent = -1;
  EXPECT_EQ(client({"-i", "F", "-F", "bad.edi"}, &parent, "client2") > 0 ? client_exit() : parent,
            253);
  EXPECT_NE(client_out("client2").find("Failure in client process, terminating\n"), std::string::npos);
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(ctu::log_code(log[0]), ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  EXPECT_EQ(ctu::log_code(log[1]), ZV_ERRM_CANNOT_START_PROCESS);
}

TEST_F(ClientE2E, TestMessageRawModeAndThePacketFormOfTheTestMessage) {
  start("e2e-test");
  ASSERT_GT(client({"-i", "Z"}), 0);
  EXPECT_EQ(client_exit(), 0) << client_err();
  ASSERT_GT(client({"-i", "z", "-r"}, nullptr, "client2"), 0);
  EXPECT_EQ(client_exit(), 0) << client_err("client2");
  ASSERT_GT(client({"-i", "Zed", "-Z"}, nullptr, "client3"), 0);
  EXPECT_EQ(client_exit(), 0) << client_err("client3");
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 3);
  ASSERT_EQ(lines.size(), 3u);
  StubLine a = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(a.kind, "integrity-edi");
  EXPECT_EQ(a.verdict, "verified");
  EXPECT_EQ(a.partner, "DXCP");
  EXPECT_EQ(a.in_len, 584);
  expect_envelopes_parse({lines[0]});
  for (const std::string &l : {lines[1], lines[2]}) {
    StubLine r = ctu::parse_stub_line(l);
    EXPECT_EQ(r.kind, "raw") << l;
    EXPECT_EQ(r.env_len, 583) << l;
    EXPECT_EQ(r.partner, "DXCP") << l;
  }
  // Raw mode logs its success before the send; the test message's packet form does not
  // go through the packet reader, which alone does so.
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(ctu::log_code(log[0]), ZV_SUCCESSFUL_TRANSMISSION);
  EXPECT_NE(client_err("client2").find("WARNING: loading test message in client\n"), std::string::npos);
}

// A signature that cannot be made refuses the document: it is renamed ".notsent".
// An identity whose key is too short to sign stops the start; its documents stay where
// they are, neither sent nor renamed.
TEST_F(ClientE2E, IdentityThatCannotSignStopsTheStartAndKeepsTheDocuments) {
  ctu::InstallOptions opt;
  opt.key_bits = 512;
  in_ = ctu::make_installation("e2e-sign512", opt);
  zvtest::write_file(in_dir("s.edi"), ctu::interchange("SLOCAL", "SREMOTE", 400));
  zvtest::write_file(in_dir("i.edi"), ctu::interchange("ILOCAL", "IREMOTE", 400));
  int parent = -1;
  EXPECT_EQ(client({"-O"}, &parent), -1);
  EXPECT_EQ(parent, 255) << client_err();
  EXPECT_EQ(zvtest::list_dir(in_dir()), (std::vector<std::string>{"i.edi", "s.edi"}));
  EXPECT_NE(client_err().find("cannot sign: its RSA key modulus of 64 bytes"), std::string::npos)
      << client_err();
  EXPECT_TRUE(ctu::client_log(in_).empty());
}

// ---- failures of the hand-over ----------------------------------------------------------

// A ZVP address that accepts and closes without acknowledging.
class Dropper {
 public:
  explicit Dropper(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 8) == 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int c = accept(fd_, nullptr, nullptr);
        if (c >= 0) {
          ++count_;
          close(c);
        }
      }
    });
  }
  ~Dropper() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  bool ok() const { return ok_; }
  int count() const { return count_; }

 private:
  int fd_;
  bool ok_;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::thread thread_;
};

TEST_F(ClientE2E, DocumentsNotHandedOverAreKeptAsNotSent) {
  in_ = ctu::make_installation("e2e-drop");
  Dropper zvp(in_.zvp_port);
  ASSERT_TRUE(zvp.ok());
  zvtest::write_file(in_dir("a.edi"), ctu::interchange("ILOCAL", "IREMOTE", 400));
  zvtest::write_file(in_dir("b.hpri"), ctu::interchange("ILOCAL", "IREMOTE", 400));
  ASSERT_GT(client({"-O"}), 0) << client_err();
  EXPECT_EQ(client_exit(), 0);
  EXPECT_EQ(zvp.count(), 2);
  EXPECT_EQ(zvtest::list_dir(in_dir()), (std::vector<std::string>{"a.notsent", "b.notsent"}));
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 2u);
  for (const std::string &l : log) EXPECT_EQ(ctu::log_code(l), ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_msg_type(log[0]), 2);
  EXPECT_EQ(zvtest::list_dir(in_.dir + "/to_remote_failed_messages").size(), 2u);
}

TEST_F(ClientE2E, SigtermStopsAnIdleClientAndOneWaitingForItsZvp) {
  in_ = ctu::make_installation("e2e-term");
  // Idle: nothing in the directory.
  ASSERT_GT(client({}), 0) << client_err();
  ASSERT_TRUE(client_.alive());
  // A second client on the same input directory does not start: both would take the
  // same documents. Its pid file is put back as it was, naming the client that runs.
  const std::string pid_file = in_.dir + "/clientd.pid";
  ASSERT_EQ(zvtest::read_file(pid_file), std::to_string(client_.pid()));
  pid_t second = zvtest::start_program(ctu::clientd_exe(), "clientd", {}, in_.dir, "second");
  EXPECT_EQ(zvtest::wait_program(second, in_.dir, "second").status, 255);
  const std::string refusal = "):FATAL ERROR: input directory " + in_.dir +
                              "/in_dir is held by another client process - cannot start\n";
  ASSERT_TRUE(zvtest::wait_for(
      [&] { return client_err("second").find(refusal) != std::string::npos; }))
      << client_err("second");
  // The daemon's pid from its line prefix "...clientd(<pid>:<slot>)".
  std::string err2 = client_err("second");
  size_t open = err2.rfind("clientd(", err2.find(refusal));
  ASSERT_NE(open, std::string::npos);
  pid_t daemon2 = static_cast<pid_t>(std::stol(err2.substr(open + 8)));
  EXPECT_EQ(zvtest::wait_daemon(daemon2, 15000), 255);
  EXPECT_EQ(zvtest::read_file(pid_file), std::to_string(client_.pid()));
  ASSERT_TRUE(client_.alive());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.stop(10000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));

  // Waiting for a ZVP process that is not there: the document is kept.
  zvtest::write_file(in_dir("w.edi"), ctu::interchange("ILOCAL", "IREMOTE", 400));
  ASSERT_GT(client({"-d", "1"}, nullptr, "client2"), 0);
  // In its connect retries once the document's envelope is built.
  EXPECT_TRUE(zvtest::wait_for(
      [&] { return client_err("client2").find("Processing message") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.stop(10000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(zvtest::list_dir(in_dir()), (std::vector<std::string>{"w.notsent"}));
}

// A storm of signals (SIGHUP and SIGUSR1, 100 a second) cuts no wait short: a document
// written in two halves half a second apart, with two seconds between scans, goes whole.
TEST_F(ClientE2E, SignalStormCutsNoWaitShort) {
  ctu::InstallOptions opt;
  opt.extra_client = "dirpolldelay = 2\n";
  start("e2e-storm", opt);
  ASSERT_GT(client({"-d", "1025"}), 0) << client_err();
  const pid_t pid = client_.pid();
  std::atomic<bool> storming{true};
  std::thread storm([&] {
    for (int i = 0; storming; ++i) {
      kill(pid, i % 2 != 0 ? SIGUSR1 : SIGHUP);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const std::string doc = ctu::interchange("ILOCAL", "IREMOTE", 800);
  zvtest::write_file(in_dir("halves.edi"), doc.substr(0, 400));
  // Once a scan has seen the first half, the second follows half a second later.
  bool seen = zvtest::wait_for(
      [&] {
        return client_err().find("DEBUG: halves.edi is new or still changing") != std::string::npos;
      },
      15000);
  if (seen) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    FILE *f = fopen(in_dir("halves.edi").c_str(), "a");
    if (f != nullptr) {
      fputs(doc.c_str() + 400, f);
      fclose(f);
    }
  }
  // The storm goes on until the document has been taken.
  bool taken = seen && zvtest::wait_for([&] { return zvtest::file_exists(in_dir("halves.sent")); },
                                        20000);
  storming = false;
  storm.join();
  ASSERT_TRUE(seen) << client_err();
  ASSERT_TRUE(taken) << zvtest::list_dir(in_dir()).size();
  EXPECT_EQ(zvtest::read_file(in_dir("halves.sent")), doc);
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 1);
  ASSERT_EQ(lines.size(), 1u);
  StubLine s = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(s.in_len, static_cast<int>(doc.size()) + 1);
  EXPECT_EQ(s.verdict, "verified");
  EXPECT_NE(s.detail.find("sha1=" + ctu::sha1_hex(doc)), std::string::npos) << lines[0];
  EXPECT_TRUE(client_.alive());
}

// A FIFO named as the file interface's file is refused at once: nothing the client opens
// may hold it past SIGTERM. The pipe interface with no writer stops on SIGTERM.
TEST_F(ClientE2E, FileInterfaceRefusesAFifoAndAnIdlePipeStopsOnSigterm) {
  in_ = ctu::make_installation("e2e-fifo");
  ASSERT_EQ(mkfifo((in_.dir + "/fifo.edi").c_str(), 0600), 0);
  // Refused before it has started: the launcher leaves with the interface's status.
  int parent = -1;
  EXPECT_EQ(client({"-i", "file", "-F", "fifo.edi"}, &parent), -1) << client_err();
  EXPECT_EQ(parent, 253) << client_err();
  EXPECT_NE(client_err().find("ERROR: fifo.edi is not a regular file - not read as a document\n"),
            std::string::npos)
      << client_err();
  ASSERT_GT(client({"-i", "pipe", "-F", "fifo.edi"}, nullptr, "pipe"), 0) << client_err("pipe");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.stop(10000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

// An input directory that can be listed but not searched is said once, not taken for
// empty; its documents are taken once it can be searched again.
TEST_F(ClientE2E, DirectoryThatCannotBeSearchedIsSaidOnce) {
  start("e2e-nosearch");
  const std::string doc = ctu::interchange("ILOCAL", "IREMOTE", 300);
  zvtest::write_file(in_dir("a.edi"), doc);
  zvtest::write_file(in_dir("marker.txt"), "not a document");
  ASSERT_EQ(chmod(in_dir().c_str(), 0444), 0);
  pid_t pid = ctu::start_daemon(in_, ctu::clientd_exe(), "clientd", {"-d", "1025"}, "client",
                                nullptr, [] { return zvtest::drop_file_privileges(); });
  client_.reset(pid);
  const std::string said = "ERROR: input directory " + in_.dir +
                           "/in_dir cannot be searched (Permission denied looking at a.edi) - no "
                           "document is taken from it until it can be\n";
  // Said, and two scans more have passed (each names the marker it skips).
  bool waited = pid > 0 && zvtest::wait_for([&] {
    std::string err = client_err();
    return rtt::count_of(err, said) >= 1 && rtt::count_of(err, "skipping junk2:marker.txt") >= 3;
  });
  ASSERT_EQ(chmod(in_dir().c_str(), 0755), 0);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waited) << client_err();
  EXPECT_EQ(rtt::count_of(client_err(), said), 1);
  EXPECT_TRUE(zvtest::wait_for([&] { return zvtest::file_exists(in_dir("a.sent")); }, 15000))
      << client_err();
  EXPECT_EQ(ctu::wait_stub_lines(in_, 1).size(), 1u);
}

// The ZVP process down: at the default log level, one line when a document starts to wait
// for it, however many connects fail, and one when it is reached again; a second outage
// is said again.
TEST_F(ClientE2E, ZvpOutageIsSaidOnceAndSoIsItsEnd) {
  in_ = ctu::make_installation("e2e-outage");
  ASSERT_GT(client({}), 0) << client_err();
  const std::string where = "ZVP process at 127.0.0.1:" + std::to_string(in_.zvp_port);
  const std::string down = "WARNING: " + where +
                           " cannot be reached (Connection refused) - the document is waiting, "
                           "the connect is tried again every second\n";
  const std::string up =
      "INFO: " + where + " is reached again - sending the waiting document\n";
  auto count = [&](const std::string &text) { return rtt::count_of(client_err(), text); };
  for (int outage = 1; outage <= 2; ++outage) {
    SCOPED_TRACE(outage);
    // Appended, not "w" + ...: g++ 12 takes that insert for an overlapping copy at -O3.
    std::string doc = "w";
    doc += std::to_string(outage);
    zvtest::write_file(in_dir(doc + ".edi"), ctu::interchange("ILOCAL", "IREMOTE", 400));
    ASSERT_TRUE(zvtest::wait_for([&] { return count(down) == outage; })) << client_err();
    // Some retries of a second each, so that a line per attempt would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    stub_.reset(ctu::start_stub(in_));
    ASSERT_GT(stub_.pid(), 0);
    ASSERT_TRUE(zvtest::wait_for([&] { return zvtest::file_exists(in_dir(doc + ".sent")); }))
        << client_err();
    EXPECT_EQ(count(down), outage) << client_err();
    EXPECT_EQ(count(up), outage) << client_err();
    EXPECT_LT(client_err().rfind(down), client_err().rfind(up));
    EXPECT_EQ(stub_.stop(), 0);
  }
  EXPECT_TRUE(ctu::client_log(in_).empty());
}

// ---- packet mode ------------------------------------------------------------------------

TEST_F(ClientE2E, PacketFilesAreSentUnchangedWithTheirPriorityLine) {
  start("e2e-packet");
  zvtest::write_file(in_dir("p0.edi"), "ILOCAL\nIREMOTE\n0\npacket zero");
  zvtest::write_file(in_dir("pw.edi"), "ILOCAL \nIREMOTE\nword\npacket word");
  zvtest::write_file(in_dir("p1.edi"), "BLOCAL\nBREMOTE\n1\npacket one");
  zvtest::write_file(in_dir("px.edi"), "NOBODY\nIREMOTE\n1\npacket lost");
  ASSERT_GT(client({"-Z", "-O"}), 0) << client_err();
  EXPECT_EQ(client_exit(), 0) << client_err();
  // A priority line other than 0 or 1 is refused, the file kept.
  EXPECT_EQ(zvtest::list_dir(in_dir()),
            (std::vector<std::string>{"p0.sent", "p1.sent", "pw.notsent", "px.notsent"}));
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 2);
  ASSERT_EQ(lines.size(), 2u);
  std::string dest_of_one;
  for (const std::string &l : lines) {
    StubLine s = ctu::parse_stub_line(l);
    EXPECT_EQ(s.kind, "raw") << l;
    std::string packet = ctu::saved_envelope(in_, s);
    if (packet == "packet one") {
      EXPECT_EQ(s.priority, 1);
      EXPECT_EQ(s.partner, "BASICP");
      EXPECT_EQ(s.dest, "127.0.0.1:" + std::to_string(kHiPort[0]));
    } else {
      EXPECT_EQ(packet, "packet zero");
      EXPECT_EQ(s.priority, 0);
      EXPECT_EQ(s.partner, "INTEGP");
      EXPECT_EQ(s.dest, "127.0.0.1:" + std::to_string(kStdPort[1]));
    }
  }
  // Each success line follows its hand-over and names its own packet's address.
  std::vector<std::string> log = ctu::client_log(in_);
  int ok = 0, unknown = 0, unsupported = 0;
  for (const std::string &l : log) {
    int code = ctu::log_code(l);
    ok += code == ZV_SUCCESSFUL_TRANSMISSION;
    unknown += code == ZV_ERRM_UNKNOWN_ISAID_FOUND;
    unsupported += code == ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND;
    if (code != ZV_SUCCESSFUL_TRANSMISSION) continue;
    const std::string id = ctu::log_isa(l).substr(0, 6);
    EXPECT_EQ(ctu::line_subject(l), "0|" + ctu::log_isa(l) + "|127.0.0.1:" +
                                        std::to_string(id == "BLOCAL" ? kHiPort[0] : kStdPort[1]) +
                                        "|0")
        << l;
  }
  EXPECT_EQ(ok, 2);
  EXPECT_EQ(unknown, 1);
  EXPECT_EQ(unsupported, 1);
  EXPECT_EQ(log.size(), 4u);
}

TEST_F(ClientE2E, PacketModeRefusalsAndTheirExitStatuses) {
  in_ = ctu::make_installation("e2e-pktrefuse");
  zvtest::write_file(in_.dir + "/f.edi", "ignored");
  // The file interface: main returns -1 at once, nothing logged.
  int parent = -9;
  EXPECT_EQ(client({"-Z", "-i", "file", "-F", "f.edi"}, &parent, "pf"), -1);
  EXPECT_EQ(parent, 255);
  EXPECT_NE(client_err("pf").find("ERROR: ZV_packet_mode not supported for FILE interface [file]\n"),
            std::string::npos);
  EXPECT_TRUE(ctu::client_log(in_).empty());
  EXPECT_FALSE(zvtest::file_exists(in_.dir + "/zolvar.alert") &&
               !zvtest::read_file(in_.dir + "/zolvar.alert").empty());

  struct Case {
    const char *interface;
    const char *name;
  } cases[] = {{"pipe", "PIPE"}, {"rpc", "RPC"}, {"socket", "SOCKET"}, {"W", "SOAP"}, {"xml", "XMLRPC"}};
  size_t n = 0;
  for (const Case &c : cases) {
    std::string tag = std::string("p_") + c.interface;
    EXPECT_EQ(client({"-Z", "-i", c.interface}, &parent, tag), -1);
    EXPECT_EQ(parent, 253) << c.interface;
    std::string err = client_err(tag);
    EXPECT_NE(err.find(std::string("ERROR: ZV_packet_mode not supported for ") + c.name +
                       " interface [" + c.interface + "]\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("ERROR: zv_server failed, terminating.\n"), std::string::npos);
    // A process that cannot start is about no partner.
    std::vector<std::string> log = ctu::client_log(in_);
    ASSERT_EQ(log.size(), ++n);
    EXPECT_EQ(ctu::line_subject(log.back()), "0|" + std::string(104, ' ') + "||" +
                                                 std::to_string(ZV_ERRM_CANNOT_START_PROCESS));
    std::vector<std::string> alerts = ctu::alerts(in_);
    ASSERT_EQ(alerts.size(), n);
    EXPECT_EQ(ctu::line_subject(alerts.back()), "0|||" + std::to_string(ZV_ERRM_CANNOT_START_PROCESS));
  }
  // Without packet mode the SOAP entry just ends; an unknown letter fails.
  ASSERT_GT(client({"-i", "web"}, nullptr, "soap"), 0);
  EXPECT_EQ(client_exit(), 0);
  EXPECT_EQ(client({"-i", "quux"}, &parent, "quux"), -1);
  EXPECT_EQ(parent, 253);
  EXPECT_NE(client_err("quux").find("ERROR: unknown interface requested [quux]\n"), std::string::npos);
}

// ---- named pipe -------------------------------------------------------------------------

std::string pipe_record(const std::string &body, unsigned prio) {
  std::string r;
  r.push_back(static_cast<char>(body.size() >> 8));
  r.push_back(static_cast<char>(body.size() & 0xff));
  r.push_back(static_cast<char>(prio >> 8));
  r.push_back(static_cast<char>(prio & 0xff));
  return r + body;
}

bool write_all(int fd, const std::string &data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

TEST_F(ClientE2E, NamedPipeRecordsUpToTheirLimitsRefusalsKeptAndACutRecordAtAStop) {
  start("e2e-pipe");
  std::string fifo = in_.dir + "/zvfifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The pipe's path is the `file` setting.
  ASSERT_GT(client({"-i", "pipe", "-F", "zvfifo", "-d", "1"}), 0) << client_err();
  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string small = ctu::interchange("ILOCAL", "IREMOTE", 800);
  const std::string large = ctu::interchange("BLOCAL", "BREMOTE", 65000);
  ASSERT_TRUE(write_all(fd, pipe_record(small, 1) + pipe_record(large, 0)));
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 2);
  ASSERT_EQ(lines.size(), 2u) << client_err();
  StubLine a = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(a.kind, "integrity-edi");
  EXPECT_EQ(a.priority, 1);
  EXPECT_EQ(a.dest, "127.0.0.1:" + std::to_string(kHiPort[1]));
  StubLine b = ctu::parse_stub_line(lines[1]);
  EXPECT_EQ(b.in_len, 65001);
  expect_envelopes_parse(lines);

  // Refused records are kept and the records behind them still go: the largest record the
  // pipe takes, whose envelope no longer fits the 64 KiB output buffer; a priority of 2; a
  // document for no partner.
  const std::string max = ctu::interchange("BLOCAL", "BREMOTE", 65535);
  const std::string stranger = ctu::interchange("ILOCAL", "NOBODY", 300);
  const std::string basic = ctu::interchange("BLOCAL", "BREMOTE", 500);
  const std::string sig = ctu::interchange("SLOCAL", "SREMOTE", 700);
  ASSERT_TRUE(write_all(fd, pipe_record(max, 0) + pipe_record(small, 2) +
                                pipe_record(stranger, 0) + pipe_record(basic, 0) +
                                pipe_record(sig, 0)));
  lines = ctu::wait_stub_lines(in_, 4);
  ASSERT_EQ(lines.size(), 4u) << client_err();
  EXPECT_EQ(ctu::parse_stub_line(lines[2]).kind, "basic-edi");
  EXPECT_EQ(ctu::parse_stub_line(lines[3]).kind, "signed-edi");
  std::string err = client_err();
  EXPECT_NE(err.find("DEBUG: found message size of 65535 bytes\n"), std::string::npos);
  EXPECT_NE(err.find("ERROR: basic EDI envelope of 65560 bytes does not fit the output buffer of "
                     "65536 bytes - skipping message\n"),
            std::string::npos)
      << err.substr(err.size() > 3000 ? err.size() - 3000 : 0);
  EXPECT_NE(err.find("ERROR: cannot set message priority (with value of 2) from zvfifo - "
                     "message invalid, cannot continue\n"),
            std::string::npos);
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(ctu::line_subject(log[0]), "1|" + max.substr(0, 104) + "|127.0.0.1:" +
                                           std::to_string(kStdPort[0]) + "|" +
                                           std::to_string(ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE));
  EXPECT_EQ(ctu::line_subject(log[1]), "0|" + std::string(104, ' ') + "||" +
                                           std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND));
  EXPECT_EQ(ctu::log_code(log[2]), ZV_ERRM_UNKNOWN_ISAID_FOUND);
  EXPECT_EQ(ctu::alerts(in_).size(), 3u);

  // A stop while a record is still arriving: what came of it is kept, the process ends
  // in order.
  const std::string cut = ctu::interchange("BLOCAL", "BREMOTE", 300);
  ASSERT_TRUE(write_all(fd, pipe_record(cut, 0).substr(0, 4 + 100)));
  auto begun = [&] {
    std::string e = client_err();
    size_t n = 0;
    for (size_t at = e.find("DEBUG: found message priority of"); at != std::string::npos;
         at = e.find("DEBUG: found message priority of", at + 1))
      ++n;
    return n == 8;
  };
  ASSERT_TRUE(zvtest::wait_for(begun, 10000)) << client_err();
  EXPECT_EQ(client_.stop(10000), 0);
  close(fd);
  EXPECT_NE(client_err().find("WARNING: stopping with the record from zvfifo incomplete - what "
                              "was read is kept\n"),
            std::string::npos);
  log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(ctu::line_subject(log[3]), "0|" + std::string(104, ' ') + "||" +
                                           std::to_string(ZV_ERRM_CANNOT_RECV_INTERNAL_DATA));
  // Each refused document kept exactly, and what came of the cut one.
  std::vector<std::string> kept;
  for (const std::string &f : zvtest::list_dir(in_.dir + "/to_remote_failed_messages"))
    kept.push_back(zvtest::read_file(in_.dir + "/to_remote_failed_messages/" + f));
  std::sort(kept.begin(), kept.end());
  std::vector<std::string> want = {max, small, stranger, cut.substr(0, 100)};
  std::sort(want.begin(), want.end());
  EXPECT_TRUE(kept == want) << kept.size() << " copies";
  EXPECT_EQ(ctu::stub_lines(in_).size(), 4u);
}

// The socket's bound on a whole record keeps one sender from holding the interface from
// others; a pipe has no others. A writer that is never quiet for the idle bound keeps its
// record however long it takes: this one takes longer than a socket record of its size
// may (10 seconds and 60 ms), in pieces 0.9 s apart.
TEST_F(ClientE2E, NamedPipeWriterThatIsSlowButNeverQuietKeepsItsRecord) {
  start("e2e-pipe-slow");
  std::string fifo = in_.dir + "/zvfifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_GT(client({"-i", "pipe", "-F", "zvfifo"}), 0) << client_err();
  // A writer whose reader has gone gets EPIPE here, not a signal that ends the test.
  signal(SIGPIPE, SIG_IGN);
  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::string doc = ctu::interchange("BLOCAL", "BREMOTE", 600);
  const std::string record = pipe_record(doc, 0);
  constexpr size_t kPieces = 13;
  const size_t piece = (record.size() + kPieces - 1) / kPieces;
  const auto first = std::chrono::steady_clock::now();
  for (size_t off = 0; off < record.size(); off += piece) {
    if (off > 0) std::this_thread::sleep_for(std::chrono::milliseconds(900));
    ASSERT_TRUE(write_all(fd, record.substr(off, piece))) << client_err();
  }
  ASSERT_GT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(10060))
      << "the record took no longer than the socket's bound";
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 1);
  ASSERT_EQ(lines.size(), 1u) << client_err();
  StubLine l = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(l.kind, "basic-edi");
  EXPECT_EQ(l.in_len, static_cast<int>(doc.size()) + 1);
  EXPECT_TRUE(client_.alive()) << client_err();
  close(fd);
  EXPECT_EQ(client_.stop(10000), 0) << client_err();
  EXPECT_TRUE(ctu::client_log(in_).empty());
}

// ---- socket -----------------------------------------------------------------------------

std::string soc_record(const std::string &body, unsigned prio) {
  return ctu::soc_header(body.size(), prio) + body;
}

TEST_F(ClientE2E, SocketRecordsEachOnItsOwnConnection) {
  start("e2e-socket");
  int port = ctu::free_port();
  ASSERT_GT(client({"-i", "socket", "-g", std::to_string(port)}), 0) << client_err();
  const std::string doc = ctu::interchange("ILOCAL", "IREMOTE", 600);
  const std::string big = ctu::interchange("SLOCAL", "SREMOTE", 65535);
  // Larger than any of the main record's buffers: the socket's own carry it.
  const std::string huge = ctu::interchange("ILOCAL", "IREMOTE", 70000);
  // The largest body the socket takes, in the envelope that carries the most around it.
  const std::string largest = ctu::interchange("SLOCAL", "SREMOTE", ZV_MAX_SOCKET_BODY);
  EXPECT_EQ(ctu::soc_send(port, soc_record(doc, 2)), "closed");                 // refused, kept
  EXPECT_EQ(ctu::soc_send(port, soc_record(doc, 0).substr(0, 100)), "reset");   // closed early
  EXPECT_EQ(ctu::soc_send(port, soc_record(doc, 1)), "closed");
  // Socket input has an output buffer of twice its size: this envelope goes.
  EXPECT_EQ(ctu::soc_send(port, soc_record(big, 0)), "closed");
  // Unsupported input whose text would forge a log line of its own, 200,000 bytes long:
  // refused and kept whole, its RAW line escaped and bounded.
  const std::string forged_line = "20260101 000000.000:clientd(00001:00):FORGED by the peer";
  std::string forging = "UNH+1\n" + forged_line + "\n";
  forging.append(200000 - forging.size(), 'u');
  EXPECT_EQ(ctu::soc_send(port, soc_record(forging, 0)), "closed");
  EXPECT_EQ(ctu::soc_send(port, soc_record(huge, 0)), "closed");
  EXPECT_EQ(ctu::soc_send(port, soc_record(largest, 0)), "closed");
  // A NUL inside: refused whole and kept, nothing of it handed over.
  std::string with_nul = ctu::isa_segment("ILOCAL", "IREMOTE") + "\n" + std::string(37, 'n');
  with_nul[120] = '\0';
  EXPECT_EQ(ctu::soc_send(port, soc_record(with_nul, 0)), "closed");
  // A refusal whose copy cannot be saved is not taken: its sender sees a reset.
  const std::string failed = in_.dir + "/to_remote_failed_messages";
  ASSERT_EQ(rename(failed.c_str(), (failed + ".gone").c_str()), 0);
  const std::string stranger = ctu::interchange("ILOCAL", "NOBODY", 300);
  EXPECT_EQ(ctu::soc_send(port, soc_record(stranger, 0)), "reset");
  ASSERT_EQ(rename((failed + ".gone").c_str(), failed.c_str()), 0);
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, 4);
  ASSERT_EQ(lines.size(), 4u) << client_err();
  StubLine a = ctu::parse_stub_line(lines[0]);
  EXPECT_EQ(a.kind, "integrity-edi");
  EXPECT_EQ(a.priority, 1);
  EXPECT_EQ(a.in_len, 601);
  EXPECT_EQ(a.verdict, "verified");
  StubLine b = ctu::parse_stub_line(lines[1]);
  EXPECT_EQ(b.kind, "signed-edi");
  EXPECT_EQ(b.verdict, "verified");
  EXPECT_GT(b.env_len, 65536);
  StubLine h = ctu::parse_stub_line(lines[2]);
  EXPECT_EQ(h.kind, "integrity-edi") << lines[2];
  EXPECT_EQ(h.verdict, "verified") << lines[2];
  EXPECT_EQ(h.partner, "INTEGP");
  EXPECT_EQ(h.in_len, 70001);
  EXPECT_NE(h.detail.find("sha1=" + ctu::sha1_hex(huge)), std::string::npos) << lines[2];
  EXPECT_GT(h.env_len, 70000);
  StubLine l = ctu::parse_stub_line(lines[3]);
  EXPECT_EQ(l.kind, "signed-edi") << lines[3];
  EXPECT_EQ(l.verdict, "verified") << lines[3];
  EXPECT_EQ(l.in_len, ZV_MAX_SOCKET_BODY + 1);
  expect_envelopes_parse(lines);
  zvtest::wait_for([&] { return ctu::client_log(in_).size() >= 4; }, 5000);
  ASSERT_TRUE(client_.alive());
  EXPECT_EQ(client_.stop(10000), 0);
  EXPECT_EQ(ctu::stub_lines(in_).size(), 4u);
  std::string err = client_err();
  EXPECT_NE(err.find("ERROR: cannot set message priority (with value of 2) from socket - message "
                     "invalid, cannot continue\n"),
            std::string::npos);
  EXPECT_NE(err.find("ERROR: cannot read message (of 600 bytes) from socket\n"), std::string::npos);
  size_t at = err.find("ERROR: socket interface: document of 143 bytes from socket = ");
  ASSERT_NE(at, std::string::npos) << err;
  const std::string nul_line = err.substr(at, err.find('\n', at) - at);
  EXPECT_NE(nul_line.find(" holds a NUL at byte 120 - message not sent"), std::string::npos)
      << nul_line;
  EXPECT_NE(err.find("ERROR: fopen(): Can't save failed transaction to file "
                     "./to_remote_failed_messages/file"),
            std::string::npos);
  EXPECT_NE(err.find(" could not be kept - connection reset\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("\n" + forged_line), std::string::npos) << "a line forged by the peer";
  at = err.find("RAW ibufferp = [");
  ASSERT_NE(at, std::string::npos) << err;
  const std::string raw_line = err.substr(at, err.find('\n', at) - at);
  // Its first 64 bytes, escaped, and its length.
  EXPECT_EQ(raw_line, "RAW ibufferp = [UNH+1\\n" + forged_line + "\\nu] (200000 bytes)");
  // The bad priority, the unsupported input and the NUL: each a transaction-log line, an
  // alert and the body kept as a failed message. The stranger has its line and alert,
  // and no copy.
  const std::string unsupported = std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  std::vector<std::string> log = ctu::client_log(in_);
  ASSERT_EQ(log.size(), 4u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(ctu::log_code(log[i]), ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND) << log[i];
  EXPECT_EQ(ctu::line_subject(log[2]), "0|" + std::string(104, ' ') + "||" + unsupported);
  EXPECT_EQ(ctu::line_subject(log[3]), "1|" + stranger.substr(0, 104) + "||" +
                                           std::to_string(ZV_ERRM_UNKNOWN_ISAID_FOUND));
  std::vector<std::string> alerts = ctu::alerts(in_);
  ASSERT_EQ(alerts.size(), 4u);
  EXPECT_EQ(ctu::line_subject(alerts[0]), "0|||" + unsupported);
  EXPECT_EQ(ctu::line_subject(alerts[2]), "0|||" + unsupported);
  EXPECT_EQ(ctu::line_subject(alerts[3]), "1|||" + std::to_string(ZV_ERRM_UNKNOWN_ISAID_FOUND));
  std::vector<std::string> kept;
  for (const std::string &f : zvtest::list_dir(in_.dir + "/to_remote_failed_messages"))
    kept.push_back(zvtest::read_file(in_.dir + "/to_remote_failed_messages/" + f));
  std::sort(kept.begin(), kept.end());
  // Each copy is the body as it came, to be sent again as it is.
  std::vector<std::string> want = {doc, forging, with_nul};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(kept, want);
}

TEST_F(ClientE2E, SocketOneShotEndsTheProcessWithZero) {
  start("e2e-socket1");
  // A port that is not one as written stops the start, naming where it was written.
  int parent = -1;
  EXPECT_EQ(client({"-i", "S", "-g", "6500abc"}, &parent), -1);
  EXPECT_EQ(parent, 255);
  EXPECT_NE(client_err().find("ERROR: Value (6500abc) of the command line (-g, --insocket) cannot "
                              "be used: it is not a plain decimal number - cannot start\n"),
            std::string::npos)
      << client_err();
  int port = ctu::free_port();
  ASSERT_GT(client({"-i", "S", "-g", std::to_string(port), "-O"}), 0) << client_err();
  EXPECT_EQ(ctu::soc_send(port, soc_record(ctu::interchange("ILOCAL", "IREMOTE", 300), 0)), "closed");
  EXPECT_EQ(client_exit(), 0) << client_err();
  EXPECT_EQ(ctu::wait_stub_lines(in_, 1).size(), 1u);
}

}  // namespace
