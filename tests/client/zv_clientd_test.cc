// The per-message function in process, with the transport's send replaced by a
// recorder: what the transaction handed over holds (lengths with the NUL, the partner's
// address and port by priority, the digest, the local certificate), the record given
// back unchanged for the next document, and each refusal with its code.
#include "client/zv_clientd.h"

#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "partners/zv_lcert.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

struct Sent {
  std::string socaddr;
  std::string input;  // imsg_length bytes
  std::string output;
  int imsg_length, ibuf_alloc_length, omsg_length, obuf_alloc_length;
  std::string dest_ip;
  int dest_port, priority, msg_type, zvp_version, tp_index;
  std::string digest;
  bool has_cert;
};
std::vector<Sent> sent;
int send_result = 0;

int recorder(Trans_ctl_rec *t, st_socaddr_t *addr) {
  Sent s;
  s.socaddr = *addr;
  s.input.assign(t->ibufferp, static_cast<size_t>(t->imsg_length));
  s.output.assign(t->obufferp, static_cast<size_t>(t->omsg_length));
  s.imsg_length = t->imsg_length;
  s.ibuf_alloc_length = t->ibuf_alloc_length;
  s.omsg_length = t->omsg_length;
  s.obuf_alloc_length = t->obuf_alloc_length;
  s.dest_ip = t->dest_ip ? t->dest_ip : "";
  s.dest_port = t->dest_port;
  s.priority = t->iPriority;
  s.msg_type = t->msg_type;
  s.zvp_version = t->zvp_version;
  s.tp_index = t->tp_index;
  s.digest.assign(t->digest, static_cast<size_t>(t->digest_length));
  s.has_cert = t->pLocalCert != nullptr;
  sent.push_back(s);
  return send_result;
}

class Clientd : public ::testing::Test {
 protected:
  void SetUp() override {
    ctu::Installation in = ctu::make_installation("clientd-inproc");
    env_ = std::make_unique<ctu::InProcessEnv>("clientd-inproc-run");
    // The installation's local identity and partners, loaded as start-up loads them.
    CONF *conf = NCONF_new(nullptr);
    long line = 0;
    ASSERT_EQ(chdir(in.dir.c_str()), 0);
    ASSERT_EQ(NCONF_load(conf, "zolvar.conf", &line), 1);
    init_lcert_table();
    ASSERT_EQ(load_lcert_table(conf, "izvp_a", "127.0.0.1:1", 0), 0);
    NCONF_free(conf);
    ASSERT_EQ(read_TPfile("tpartner.conf"), 0);
    ASSERT_EQ(chdir(env_->dir().c_str()), 0);
    zvp_port_ = in.zvp_port;
    sent.clear();
    send_result = 0;
    clientd_sender = recorder;
    memset(&rec_, 0, sizeof rec_);
    rec_.who = ZV_WHO_STD_CLIENT;
    rec_.ibufferp = ibuf_.data();
    rec_.ibuf_length = ZV_CLIENT_BUF_SIZE;
    rec_.obufferp = obuf_.data();
    rec_.obuf_length = ZV_CLIENT_BUF_SIZE;
  }
  void TearDown() override {
    clientd_sender = send_transport_msg_default_;
    init_lcert_table();
    env_.reset();
  }
  // Puts the text into the main record as an interface does.
  void load(const std::string &text) {
    memset(ibuf_.data(), 0, ibuf_.size());
    memcpy(ibuf_.data(), text.data(), text.size());
  }

  clientd_sender_t send_transport_msg_default_ = clientd_sender;
  std::unique_ptr<ctu::InProcessEnv> env_;
  int zvp_port_ = 0;
  Trans_ctl_rec rec_;
  std::vector<char> ibuf_ = std::vector<char>(ZV_CLIENT_BUF_SIZE);
  std::vector<char> obuf_ = std::vector<char>(ZV_CLIENT_BUF_SIZE);
};

TEST_F(Clientd, TransactionFieldsAndTheRecordGivenBack) {
  const std::string doc = ctu::interchange("ILOCAL", "IREMOTE", 210);
  load(doc);
  ASSERT_EQ(clientd(&rec_, HIPRI_PORT), 0);
  load("ZVS:         INTEGP:STOP_WAN");
  ASSERT_EQ(clientd(&rec_, STD_PORT), 0);
  load("ZVS:    SIGNP:TEST");
  ASSERT_EQ(clientd(&rec_, STD_PORT), 0);
  ASSERT_EQ(sent.size(), 3u);

  const Sent &a = sent[0];
  EXPECT_EQ(a.socaddr, "127.0.0.1:" + std::to_string(zvp_port_));
  EXPECT_EQ(a.imsg_length, static_cast<int>(doc.size()) + 1);  // the NUL travels too
  EXPECT_EQ(a.ibuf_alloc_length, a.imsg_length);
  EXPECT_EQ(a.input, doc + std::string(1, '\0'));
  EXPECT_EQ(a.omsg_length, static_cast<int>(a.output.size()));
  EXPECT_EQ(a.obuf_alloc_length, a.omsg_length);
  EXPECT_EQ(a.dest_ip, "127.0.0.1");
  EXPECT_EQ(a.dest_port, 17102);
  EXPECT_EQ(a.priority, 1);
  EXPECT_EQ(a.msg_type, ZV_MT_INTEGRITY_EDI);
  EXPECT_EQ(a.zvp_version, 2);
  EXPECT_EQ(a.digest, ctu::sha1_hex(doc));
  EXPECT_TRUE(a.has_cert);

  const Sent &b = sent[1];
  EXPECT_EQ(b.msg_type, ZV_MT_STATUS);
  EXPECT_EQ(b.input, std::string("STOP_WAN") + '\0');  // the keyword part
  EXPECT_EQ(b.dest_port, 17002);
  EXPECT_TRUE(b.digest.empty());
  EXPECT_EQ(sent[2].tp_index, 2);
  // Each document started from the buffer's own start, with its full sizes.
  EXPECT_EQ(rec_.ibufferp, ibuf_.data());
  EXPECT_EQ(rec_.ibuf_length, ZV_CLIENT_BUF_SIZE);
  EXPECT_EQ(rec_.obuf_length, ZV_CLIENT_BUF_SIZE);
  EXPECT_TRUE(env_->client_log().empty());
}

TEST_F(Clientd, RefusalsAndTheirCodes) {
  // The send itself fails.
  send_result = -1;
  load(ctu::interchange("ILOCAL", "IREMOTE", 300));
  EXPECT_EQ(clientd(&rec_, STD_PORT), -1);
  // A receipt request whose send fails: the transaction carried the acknowledged ISA
  // segment, the copy kept is the request as it came.
  const std::string isa = ctu::isa_segment("IREMOTE", "ILOCAL");
  const std::string request = ctu::receipt_request(isa, "20240101120000Z", ctu::sha1_hex("x"));
  load(request);
  const std::string copies = env_->dir() + "/to_remote_failed_messages";
  const size_t before = zvtest::list_dir(copies).size();
  EXPECT_EQ(clientd(&rec_, STD_PORT), -1);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].msg_type, ZV_MT_INTEGRITY_RECEIPT);
  EXPECT_EQ(sent[1].input, isa + '\0');
  bool kept = false;
  for (const std::string &f : zvtest::list_dir(copies))
    kept |= zvtest::read_file(copies + "/" + f) == request;
  EXPECT_TRUE(kept);
  EXPECT_EQ(zvtest::list_dir(copies).size(), before + 1);
  EXPECT_EQ(std::string(ibuf_.data()), request);
  send_result = 0;
  // The partner's local identity is gone.
  partner[1].lcert_index = 7;
  load(ctu::interchange("ILOCAL", "IREMOTE", 300));
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(clientd(&rec_, STD_PORT), -1); });
  EXPECT_NE(cap.err.find("ERROR: No local cert entry, tp_index = 1\n"), std::string::npos) << cap.err;
  // Packet mode without a partner.
  zv_packet_mode_flag = 1;
  rec_.tp_index = -1;
  cap = rtt::capture([&] { EXPECT_EQ(clientd(&rec_, STD_PORT), -1); });
  EXPECT_NE(cap.err.find("ERROR: input message not sent\n"), std::string::npos);
  // Packet mode with one: the output buffer goes unchanged, and the input whole by the
  // length its reader found, NULs and all.
  rec_.tp_index = 0;
  memcpy(obuf_.data(), "PKT", 3);
  rec_.obuf_length = 3;
  load(std::string("PK\0T", 4));
  rec_.imsg_length = 4;
  EXPECT_EQ(clientd(&rec_, HIPRI_PORT), 0);
  zv_packet_mode_flag = 0;
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].output, "PKT");
  EXPECT_EQ(sent[2].input, std::string("PK\0T\0", 5));
  EXPECT_EQ(sent[2].dest_port, 17101);
  EXPECT_EQ(rec_.obuf_length, 3);

  // Raw mode: a document not handed over has its failure line alone; one handed over
  // has its success line, written after the hand-over.
  partner[1].lcert_index = 0;
  rec_.obuf_length = ZV_CLIENT_BUF_SIZE;
  rawMessage_flag = 1;
  const std::string raw = ctu::interchange("ILOCAL", "IREMOTE", 250);
  send_result = -1;
  load(raw);
  EXPECT_EQ(clientd(&rec_, STD_PORT), -1);
  send_result = 0;
  load(raw);
  EXPECT_EQ(clientd(&rec_, STD_PORT), 0);
  rawMessage_flag = 0;
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[4].output, raw);

  std::vector<std::string> log = env_->client_log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(ctu::log_code(log[0]), ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_code(log[1]), ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_code(log[2]), ZV_ERRM_CANNOT_FIND_LOCAL_CERT_ENTRY);
  EXPECT_EQ(ctu::log_code(log[3]), ZV_ERRM_NO_ISAID_FOUND_IN_TPFILE);
  EXPECT_EQ(ctu::log_code(log[4]), ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  EXPECT_EQ(ctu::log_code(log[5]), ZV_SUCCESSFUL_TRANSMISSION);
  EXPECT_EQ(ctu::log_isa(log[5]), ctu::isa_segment("ILOCAL", "IREMOTE").substr(0, 104));
}

}  // namespace
