// clientd in its receipt-client role (a program name beginning with r) as a real
// process: receipt and status requests sent to its receipt socket over the local
// transport go on to the ZVP stand-in as receipt and status envelopes; refusals, the
// fatal receipt type, a listener that cannot start, and SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zv_errors.h"
#include "runtime/zv_status_code.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"
#include "transport/zv_transport.h"

namespace {

using ctu::StubLine;

using ctu::send_request;
using ctu::status_request;

// 127.0.0.1 at `port`.
sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

class ReceiptE2E : public ::testing::Test {
 protected:
  void TearDown() override {
    if (rclient_.alive()) rclient_.stop();
    // The stand-in ends cleanly too (a sanitizer report would change its status).
    if (stub_.alive()) {
      EXPECT_EQ(stub_.stop(), 0);
    }
  }
  void start(const std::string &name, bool with_stub = true) {
    in_ = ctu::make_installation(name);
    if (with_stub) {
      stub_.reset(ctu::start_stub(in_));
      ASSERT_GT(stub_.pid(), 0);
    }
  }
  // A receipt client whose listener cannot start never says it started: it ends with -3
  // (253), and a launcher that waits for the start is told of the failure (in *parent)
  // instead of 0.
  pid_t start_rclient(const std::vector<std::string> &args = {}, int *parent = nullptr) {
    pid_t pid = ctu::start_daemon(in_, ctu::clientd_exe(), "rclientd", args, "rclient", parent);
    rclient_.reset(pid);
    return pid;
  }
  std::string rclient_err() { return zvtest::read_file(in_.dir + "/rclient.err"); }

  ctu::Installation in_;
  rtt::Daemon stub_;
  rtt::Daemon rclient_;
};

TEST_F(ReceiptE2E, ReceiptAndStatusRequestsGoOnAsEnvelopes) {
  start("rc-forward");
  ASSERT_GT(start_rclient(), 0) << rclient_err();
  const std::string stamp = "20240101120000Z";
  // A receipt acknowledges an interchange that came from the partner.
  const std::string isa_i = ctu::isa_segment("IREMOTE", "ILOCAL");
  const std::string isa_s = ctu::isa_segment("SREMOTE", "SLOCAL");
  const std::string isa_b = ctu::isa_segment("BREMOTE", "BLOCAL");
  const std::string digest = ctu::sha1_hex("acknowledged interchange");
  std::string sig_hex;
  for (int i = 0; i < 256; ++i) {
    char h[3];
    snprintf(h, sizeof h, "%02x", (i * 37) & 0xff);
    sig_hex += h;
  }
  struct Req {
    std::string text;
    int priority;
    std::string kind;
    std::string partner;
    std::string detail;  // part of the stand-in's detail field
  } reqs[] = {
      {ctu::receipt_request(isa_i, stamp, digest), 0, "integrity-receipt", "INTEGP", "digest=" + digest},
      {ctu::receipt_request(isa_s, stamp, sig_hex), 1, "signed-receipt", "SIGNP", "signature=256"},
      {ctu::receipt_request(isa_b, stamp, ""), 0, "basic-receipt", "BASICP", "stamp=" + stamp},
      {status_request("INTEGP", "STOP_WAN"), 1, "status", "INTEGP",
       std::string("status=") + zv_status_code[ZV_STATUS_STOP_WAN]},
      {status_request("SIGNP", "TEST"), 0, "status", "SIGNP",
       std::string("status=") + zv_status_code[ZV_STATUS_TEST]},
      {status_request("BASICP", "STOP_OSS"), 0, "status", "BASICP",
       std::string("status=") + zv_status_code[ZV_STATUS_STOP_OSS]},
      {status_request("INTEGP", "RESTART_NOW"), 0, "status", "INTEGP",
       std::string("status=") + zv_status_code[ZV_STATUS_RESTART]},
      {status_request("INTEGP", zv_status_code[ZV_STATUS_PING_REQUEST]), 0, "status", "INTEGP",
       std::string("status=") + zv_status_code[ZV_STATUS_PING_REQUEST]},
  };
  for (const Req &r : reqs) ASSERT_EQ(send_request(in_.receipt_port, r.text, r.priority), 0) << r.text;
  // Refused: unsupported, too long for the input buffer, unknown partner.
  ASSERT_EQ(send_request(in_.receipt_port, "XYZ not a request"), 0);
  ASSERT_EQ(send_request(in_.receipt_port, std::string(65536, 'Z')), 0);
  ASSERT_EQ(send_request(in_.receipt_port, status_request("NOSUCH", "TEST")), 0);
  // A NUL inside: refused whole, never handed over up to the NUL.
  const std::string with_nul = status_request("INTEGP", std::string("TE\0ST", 5));
  ASSERT_EQ(send_request(in_.receipt_port, with_nul), 0);
  // A priority other than 0 or 1 is refused, as the socket interface refuses it, and kept.
  const std::string prio7 = status_request("INTEGP", "TEST"), prio_neg = status_request("SIGNP", "TEST");
  ASSERT_EQ(send_request(in_.receipt_port, prio7, 7), 0);
  ASSERT_EQ(send_request(in_.receipt_port, prio_neg, -1), 0);
  // A request that fills the whole input buffer without the NUL that must end it.
  const std::string unended = "ZVS:" + std::string(65532, 'U');
  ASSERT_EQ(send_request(in_.receipt_port, unended, 0, false), 0);
  // A peer that connects and leaves without a transaction.
  {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(in_.receipt_port);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(write(fd, "\0\0\0", 3), 3);
    close(fd);
  }

  const size_t n = sizeof reqs / sizeof reqs[0];
  std::vector<std::string> lines = ctu::wait_stub_lines(in_, n);
  ASSERT_EQ(lines.size(), n) << rclient_err();
  for (size_t i = 0; i < n; ++i) {
    StubLine s = ctu::parse_stub_line(lines[i]);
    EXPECT_EQ(s.kind, reqs[i].kind) << lines[i];
    EXPECT_EQ(s.partner, reqs[i].partner) << lines[i];
    EXPECT_EQ(s.verdict, "consistent") << lines[i];
    EXPECT_EQ(s.priority, reqs[i].priority) << lines[i];
    EXPECT_NE(s.detail.find(reqs[i].detail), std::string::npos) << lines[i];
    EXPECT_EQ(s.dig_len, 0);
    // An integrity or signed receipt's transaction carries the acknowledged ISA segment
    // only; a basic one the whole request after its prefix (124 characters here).
    if (s.kind == "integrity-receipt" || s.kind == "signed-receipt") {
      EXPECT_EQ(s.in_len, 106) << lines[i];
    } else if (s.kind == "basic-receipt") {
      EXPECT_EQ(s.in_len, 125) << lines[i];
    }
    ctu::bytes der = ctu::saved_envelope(in_, s);
    std::string out;
    EXPECT_EQ(ctu::asn1parse(der, &out), 0) << out;
  }
  EXPECT_EQ(ctu::parse_stub_line(lines[1]).dest, "127.0.0.1:17103");  // high priority port

  zvtest::wait_for([&] { return ctu::receipt_log(in_).size() >= 8; }, 5000);
  std::vector<std::string> log = ctu::receipt_log(in_);
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(ctu::log_code(log[0]), ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  EXPECT_EQ(ctu::log_code(log[1]), ZV_ERRM_CANNOT_RECV_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_code(log[2]), ZV_ERRM_UNKNOWN_ISAID_FOUND);
  EXPECT_EQ(ctu::log_code(log[3]), ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  EXPECT_EQ(ctu::log_code(log[6]), ZV_ERRM_CANNOT_RECV_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_code(log[7]), ZV_ERRM_CANNOT_RECV_INTERNAL_DATA);
  // A transaction that never came is about no document and no partner; nor is a request
  // refused before it is classified (a NUL inside, a priority other than 0 or 1).
  const std::string none = "0|" + std::string(104, ' ') + "||";
  for (int i : {3, 4, 5})
    EXPECT_EQ(ctu::line_subject(log[i]), none + std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND))
        << i;
  EXPECT_EQ(ctu::line_subject(log[7]), none + std::to_string(ZV_ERRM_CANNOT_RECV_INTERNAL_DATA));
  std::vector<std::string> alerts = ctu::alerts(in_);
  ASSERT_EQ(alerts.size(), 8u);
  EXPECT_EQ(ctu::line_subject(alerts[7]),
            "0|||" + std::to_string(ZV_ERRM_CANNOT_RECV_INTERNAL_DATA));
  // The refused requests were kept whole as failed messages: each its text, without the
  // NUL that ended it in the transaction.
  std::vector<std::string> copies;
  for (const std::string &f : zvtest::list_dir(in_.dir + "/to_remote_failed_messages"))
    copies.push_back(zvtest::read_file(in_.dir + "/to_remote_failed_messages/" + f));
  for (const std::string &doc : {std::string(65536, 'Z'), with_nul, prio7, prio_neg, unended})
    EXPECT_NE(std::find(copies.begin(), copies.end(), doc), copies.end()) << doc.substr(0, 40);
  EXPECT_NE(rclient_err().find("ERROR: receipt input of 65537 bytes does not fit the input buffer of "
                               "65536 bytes - message not sent\n"),
            std::string::npos);
  EXPECT_NE(rclient_err().find("ERROR: receipt input of 65536 bytes does not end with a NUL and "
                               "leaves no room for one in the input buffer of 65536 bytes - "
                               "message not sent\n"),
            std::string::npos);
  for (int prio : {7, -1})
    EXPECT_NE(rclient_err().find("ERROR: cannot set message priority (with value of " +
                                 std::to_string(prio) +
                                 ") from the receipt socket - message invalid, cannot continue\n"),
              std::string::npos)
        << prio;
  EXPECT_TRUE(ctu::client_log(in_).empty());

  // Stopped while idle: within the 10-second sleep step, with status 0.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(rclient_.stop(12000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_NE(rclient_err().find("receipt process terminating\n"), std::string::npos);
}

// A request is acknowledged once it has been handed to the ZVP process, or refused and
// kept whole: a kill while it waits for the ZVP process, or a refusal whose copy cannot be
// saved, leaves its sender unacknowledged, to send it again.
TEST_F(ReceiptE2E, RequestIsAcknowledgedOnlyOnceHandedOverOrKept) {
  start("rc-ack", false);
  // The ZVP process's port is held, not listened on: connects are refused, and no stand-in
  // of a test beside this one can take it meanwhile.
  int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(in_.zvp_port);
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_GT(start_rclient(), 0) << rclient_err();
  const std::string request = status_request("INTEGP", "TEST");
  std::atomic<int> result{1};
  std::thread sender([&] { result = send_request(in_.receipt_port, request); });
  const std::string waiting =
      "WARNING: ZVP process at 127.0.0.1:" + std::to_string(in_.zvp_port) + " cannot be reached";
  bool at_connect = zvtest::wait_for(
      [&] { return rclient_err().find(waiting) != std::string::npos; }, 15000);
  // Still unanswered while the receipt client tries to reach the ZVP process.
  EXPECT_EQ(result.load(), 1);
  ASSERT_EQ(kill(rclient_.pid(), SIGKILL), 0);
  zvtest::wait_daemon(rclient_.pid(), 10000);
  rclient_.reset(-1);
  sender.join();
  ASSERT_TRUE(at_connect) << rclient_err();
  EXPECT_EQ(result.load(), -1);
  EXPECT_TRUE(ctu::receipt_log(in_).empty());

  // Sent again to a receipt client whose ZVP process is up: acknowledged, and handed over.
  close(held);
  stub_.reset(ctu::start_stub(in_));
  ASSERT_GT(stub_.pid(), 0);
  ASSERT_GT(start_rclient(), 0) << rclient_err();
  EXPECT_EQ(send_request(in_.receipt_port, request), 0);
  ASSERT_EQ(ctu::wait_stub_lines(in_, 1).size(), 1u);
  EXPECT_EQ(ctu::parse_stub_line(ctu::stub_lines(in_)[0]).kind, "status");

  // Refused, but its copy cannot be saved: not acknowledged either.
  const std::string failed = in_.dir + "/to_remote_failed_messages";
  ASSERT_EQ(rename(failed.c_str(), (failed + ".gone").c_str()), 0);
  EXPECT_EQ(send_request(in_.receipt_port, "XYZ not a request"), -1);
  ASSERT_EQ(rename((failed + ".gone").c_str(), failed.c_str()), 0);
  EXPECT_NE(rclient_err().find("ERROR: request on the receipt socket was neither handed over "
                               "nor kept - not acknowledged, its sender is to send it again\n"),
            std::string::npos)
      << rclient_err();
  EXPECT_EQ(send_request(in_.receipt_port, "XYZ not a request"), 0);
}

TEST_F(ReceiptE2E, ReceiptForAPartnerWithoutReceiptsEndsTheProcess) {
  start("rc-fatal");
  ASSERT_GT(start_rclient(), 0) << rclient_err();
  // The process ends inside the refusal, before it could answer: its sender is not told
  // the request was taken.
  ASSERT_EQ(send_request(in_.receipt_port,
                         ctu::receipt_request(ctu::isa_segment("DXC_TEST", "DXC7"),
                                              "20240101120000Z", "ab")),
            -1);
  EXPECT_EQ(zvtest::wait_daemon(rclient_.pid(), 10000), 256 + ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE);
  rclient_.reset(-1);
  // The fatal refusal names the partner and the interchange it is about.
  const std::string code = std::to_string(ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE);
  std::vector<std::string> log = ctu::receipt_log(in_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(ctu::line_subject(log[0]),
            "4|" + ctu::isa_segment("DXC_TEST", "DXC7").substr(0, 104) + "|127.0.0.1:17004|" + code);
  std::vector<std::string> alerts = ctu::alerts(in_);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(ctu::line_subject(alerts[0]), "4|DXCP|127.0.0.1:17004|" + code);
  EXPECT_TRUE(ctu::stub_lines(in_).empty());
}

TEST_F(ReceiptE2E, ListenerThatCannotStart) {
  start("rc-nolisten", false);
  // An address the listener cannot use is refused at start, naming where it was written:
  // on the command line, or in the receipt process's section.
  int parent = -1;
  EXPECT_EQ(start_rclient({"-U", "127.0.0.1"}, &parent), -1);
  EXPECT_EQ(parent, 255);
  EXPECT_NE(rclient_err().find("ERROR: Value (127.0.0.1) of the command line (-U, "
                               "--receipt_socket) cannot be used: it has no ':' before a port - "
                               "cannot start\n"),
            std::string::npos)
      << rclient_err();
  std::string conf = zvtest::read_file(in_.dir + "/zolvar.conf");
  const std::string own = "transport_listen_port = 127.0.0.1:" + std::to_string(in_.receipt_port);
  std::string named = conf;
  named.replace(named.find(own), own.size(), "transport_listen_port = localhost:8000");
  zvtest::write_file(in_.dir + "/zolvar.conf", named);
  EXPECT_EQ(start_rclient({}, &parent), -1);
  EXPECT_EQ(parent, 255);
  EXPECT_NE(rclient_err().find("ERROR: Value (localhost:8000) of key transport_listen_port in "
                               "section [rclientd] of the configuration file (zolvar.conf) "
                               "cannot be used: its address is not four decimal numbers joined "
                               "by dots - cannot start\n"),
            std::string::npos)
      << rclient_err();
  zvtest::write_file(in_.dir + "/zolvar.conf", conf);
  EXPECT_TRUE(ctu::receipt_log(in_).empty());

  // A port another process holds: the listener ends with its alert, and the process,
  // which would serve nothing, ends as for a listener that cannot start.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(in_.receipt_port);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  const size_t alerts_before = ctu::alerts(in_).size();
  EXPECT_EQ(start_rclient({}, &parent), -1);
  EXPECT_EQ(parent, 253);
  close(fd);
  std::vector<std::string> alerts = ctu::alerts(in_);
  ASSERT_EQ(alerts.size(), alerts_before + 2) << rclient_err();
  EXPECT_EQ(ctu::line_subject(alerts[alerts_before]),
            "0|||" + std::to_string(ZV_ERRM_INTERNAL_DATA_LISTEN_FAILED));
  EXPECT_EQ(ctu::line_subject(alerts[alerts_before + 1]),
            "0|||" + std::to_string(ZV_ERRM_CANNOT_START_PROCESS));
  EXPECT_NE(rclient_err().find("ERROR: cannot listen on the receipt socket at address 127.0.0.1 "
                               "port " + std::to_string(in_.receipt_port) +
                               ": Address already in use (errno 98)\n"),
            std::string::npos)
      << rclient_err();
  EXPECT_NE(rclient_err().find("ERROR: zv_server failed, terminating.\n"), std::string::npos)
      << rclient_err();
  EXPECT_NE(zvtest::read_file(in_.dir + "/rclient.out").find("Failure in client process, terminating\n"),
            std::string::npos);
}

}  // namespace
