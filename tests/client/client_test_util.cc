#include "tests/client/client_test_util.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "codec/zv_oids.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"
#include "transport/zv_transport.h"

namespace ctu {

namespace {

bytes from_hex(const char *h) {
  bytes out;
  for (size_t i = 0; h[i] && h[i + 1]; i += 2) {
    char b[3] = {h[i], h[i + 1], 0};
    out.push_back(static_cast<char>(strtol(b, nullptr, 16)));
  }
  return out;
}

void set_path(char (&dest)[ZV_PATH_SIZE], const std::string &value) {
  snprintf(dest, sizeof dest, "%s", value.c_str());
}

std::vector<std::string> lines_of(const std::string &path) {
  if (!zvtest::file_exists(path)) return {};
  return zvtest::split_lines(zvtest::read_file(path));
}

constexpr char kBannerLine[] = "This version supports both TCIF-98-006 Issue 2";

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return out;
}

}  // namespace

bytes tlv(unsigned char tag, const bytes &content) {
  bytes out(1, static_cast<char>(tag));
  size_t n = content.size();
  if (n < 128) {
    out.push_back(static_cast<char>(n));
  } else {
    bytes len;
    for (size_t v = n; v > 0; v >>= 8) len.insert(len.begin(), static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(0x80 | len.size()));
    out += len;
  }
  return out + content;
}

const bytes kOidZvEdi1 = from_hex("06092B060104019B780701");
const bytes kOidZvEdi2 = from_hex("06092B060104019B780702");
const bytes kOidZvEdi3 = from_hex("06092B060104019B780705");
const bytes kOidZvR1 = from_hex("06092B060104019B780741");
const bytes kOidZvS1 = from_hex("06092B060104019B780761");
const bytes kOidSha1 = from_hex("06052B0E03021A");
const bytes kOidRsa = from_hex("06092A864886F70D010101");
const bytes kOidCountry = from_hex("0603550406");
const bytes kOidOrg = from_hex("060355040A");

int asn1parse(const bytes &der, std::string *out, const std::string &extra) {
  std::string dir = zvtest::scratch_dir("asn1parse");
  zvtest::write_file(dir + "/e.der", der);
  return zvtest::shell("openssl asn1parse -inform DER " + extra + " -in '" + dir + "/e.der' 2>&1",
                       out);
}

bytes recover_signed_block(const bytes &signature, const std::string &cert_pem_path) {
  std::string dir = zvtest::scratch_dir("recover");
  zvtest::write_file(dir + "/sig", signature);
  std::string out;
  zvtest::shell("openssl x509 -in '" + cert_pem_path + "' -pubkey -noout > '" + dir +
                "/pub.pem'");
  zvtest::shell("openssl pkeyutl -verifyrecover -pubin -inkey '" + dir + "/pub.pem' -in '" +
                    dir + "/sig' -pkeyopt rsa_padding_mode:pkcs1 2>/dev/null",
                &out);
  return out;
}

std::string sha1_hex(const bytes &data) {
  std::string dir = zvtest::scratch_dir("sha1");
  zvtest::write_file(dir + "/d", data);
  std::string out;
  zvtest::shell("openssl sha1 -r '" + dir + "/d'", &out);
  return out.substr(0, 40);
}

bytes expected_signed_block(const bytes &data) {
  return from_hex("3035300906052B0E03021A05000428") + sha1_hex(data);
}

// ---- in-process ---------------------------------------------------------------------

Rec::Rec(const std::string &text, int cap) : in(text.begin(), text.end()), out(cap + 64, '\xEE') {
  in.resize(std::max<size_t>(in.size() + 1, 65536), '\0');
  t.who = ZV_WHO_STD_CLIENT;
  t.ibufferp = in.data();
  t.ibuf_length = static_cast<int>(in.size());
  t.obufferp = out.data();
  t.obuf_length = cap;
  t.tp_index = -7;
}

bool Rec::untouched_after(size_t n) const {
  for (size_t i = n; i < out.size(); ++i)
    if (out[i] != '\xEE') return false;
  return true;
}

void expect_parses(const bytes &der, const std::vector<std::string> &must) {
  std::string out;
  EXPECT_EQ(asn1parse(der, &out), 0) << out;
  for (const std::string &m : must) EXPECT_NE(out.find(m), std::string::npos) << m << "\n" << out;
}

InProcessEnv::InProcessEnv(const std::string &name) {
  dir_ = zvtest::scratch_dir(name);
  char cwd[ZV_PATH_SIZE];
  if (getcwd(cwd, sizeof cwd) == nullptr) throw std::runtime_error("getcwd");
  old_cwd_ = cwd;
  if (chdir(dir_.c_str()) != 0) throw std::runtime_error("chdir");
  rtt::make_work_dirs(dir_);
  static const char *const logs[4] = {"client_trans.log", "receipt_trans.log",
                                      "server_trans.log", "hipri_trans.log"};
  for (int i = 0; i < 8; i++) {
    set_path(tran_logpath[i], logs[i % 4]);
    tran_logfile[i] = nullptr;
  }
  set_path(toRemoteFailedPath, "./to_remote_failed_messages");
  set_path(toSslRemoteFailedPath, "./to_ssl_remote_failed_messages");
  set_path(fromRemoteFailedPath, "./from_remote_failed_messages");
  set_path(fromSslRemoteFailedPath, "./from_ssl_remote_failed_messages");
  set_path(invalidPath, "./invalid_messages");
  set_path(alertFileName, "zolvar.alert");
  static bool oids = false;
  if (!oids) {
    OBJ_create_objects2(zv_oid_table);
    oids = true;
  }
  snprintf(program, sizeof program, "%s", "clientd");
  debug_level = 0;
  rawMessage_flag = 0;
  zv_packet_mode_flag = 0;
  oneshot_flag = 0;
  zv_shutdown = 0;
  zv_pacing_delay = 0;
  clear_partners();
}

InProcessEnv::~InProcessEnv() {
  if (chdir(old_cwd_.c_str()) != 0) perror("chdir");
  clear_partners();
}

std::vector<std::string> InProcessEnv::client_log() const {
  return lines_of(dir_ + "/client_trans.log");
}
std::vector<std::string> InProcessEnv::receipt_log() const {
  return lines_of(dir_ + "/receipt_trans.log");
}
std::vector<std::string> InProcessEnv::alerts() const { return lines_of(dir_ + "/zolvar.alert"); }
std::vector<std::string> InProcessEnv::failed_copies() const {
  return zvtest::list_dir(dir_ + "/to_remote_failed_messages");
}

void set_partner(int i, const char *isaid, const char *local_id, const char *remote_id,
                 zvmt message_type, zvrt receipt_type, int port, int hipriport) {
  Tpartner_rec &p = partner[i];
  memset(&p, 0, sizeof p);
  snprintf(p.isaid, sizeof p.isaid, "%s", isaid);
  snprintf(p.local_id, sizeof p.local_id, "%s", local_id);
  snprintf(p.remote_id, sizeof p.remote_id, "%s", remote_id);
  snprintf(p.ip, sizeof p.ip, "%s", "127.0.0.1");
  p.port = port;
  p.hipriport = hipriport;
  p.svrZvMessageType = message_type;
  p.cliZvMessageType = message_type;
  p.svrZvReceiptType = receipt_type;
  p.cliZvReceiptType = receipt_type;
  p.rcert_index = -1;
  p.lcert_index = 0;
}

void clear_partners() { memset(partner, 0, sizeof partner); }

int log_code(const std::string &line) {
  size_t p = line.rfind('|');
  return p == std::string::npos ? -9999 : atoi(line.c_str() + p + 1);
}
std::string log_isa(const std::string &line) {
  auto f = split(line, '|');
  return f.size() >= 3 ? f[2] : "";
}
int log_msg_type(const std::string &line) {
  auto f = split(line, '|');
  return f.size() >= 2 ? atoi(f[1].c_str()) : -9999;
}

std::string isa_segment(const std::string &sender, const std::string &receiver) {
  auto pad = [](std::string s) {
    s.resize(15, ' ');
    return s;
  };
  std::string s = "ISA*00*          *00*          *ZZ*" + pad(sender) + "*ZZ*" + pad(receiver) +
                  "*240101*1200*U*00401*000000001*0*P*>";
  if (s.size() != 105) throw std::logic_error("ISA segment is not 105 characters");
  return s;
}

std::string interchange(const std::string &sender, const std::string &receiver, size_t size) {
  std::string s = isa_segment(sender, receiver) + "\nGS*PO*A*B*240101*1200*1*X*004010\n";
  const std::string tail = "IEA*1*000000001\n";
  if (size < s.size() + tail.size()) throw std::logic_error("interchange too small");
  size_t left = size - s.size() - tail.size();
  for (int n = 1; left > 0; ++n) {
    std::string line = "MSG*line " + std::to_string(n) + " of the test document*";
    size_t len = std::min(left, line.size() + 20);
    if (len < line.size() + 1) line = std::string(len - 1, 'x');
    line.resize(len - 1, 'x');
    s += line + "\n";
    left -= len;
  }
  return s + tail;
}

std::string receipt_request(const std::string &isa, const std::string &stamp,
                            const std::string &hex) {
  return "ZVR:" + isa + "|" + stamp + "xxx" + hex;
}

// ---- real processes -------------------------------------------------------------------

int send_request(int port, const std::string &text, int priority, bool nul) {
  Trans_ctl_rec r;
  memset(&r, 0, sizeof r);
  r.who = ZV_WHO_STD_SERVER;
  r.msg_type = ZV_MT_TEXT;
  r.iPriority = priority;
  r.tp_index = -1;
  std::vector<char> buf(text.begin(), text.end());
  if (nul) buf.push_back('\0');
  r.ibufferp = buf.data();
  r.ibuf_length = r.imsg_length = r.ibuf_alloc_length = static_cast<int>(buf.size());
  st_socaddr_t addr;
  snprintf(addr, sizeof addr, "127.0.0.1:%d", port);
  return send_transport_msg(&r, &addr);
}

int free_port() { return zvtest::free_tcp_port(); }

std::string status_request(const std::string &isaid, const std::string &keyword) {
  char buf[64];
  snprintf(buf, sizeof buf, "ZVS:%15s:", isaid.c_str());
  return buf + keyword;
}

std::string clientd_exe() { return zvtest::program_path("client/clientd"); }
std::string zvpstub_exe() { return zvtest::program_path("tools/izvpstub"); }

Installation make_installation(const std::string &name, const InstallOptions &opt) {
  Installation in;
  in.dir = zvtest::scratch_dir(name);
  rtt::make_work_dirs(in.dir);
  mkdir((in.dir + "/envelopes").c_str(), 0755);
  in.zvp_port = free_port();
  in.receipt_port = free_port();
  while (in.receipt_port == in.zvp_port) in.receipt_port = free_port();
  if (opt.v3_identity) {
    in.zvp3_port = free_port();
    while (in.zvp3_port == in.zvp_port || in.zvp3_port == in.receipt_port)
      in.zvp3_port = free_port();
  }

  // Keys are generated once per size and test process, then copied.
  static std::map<int, std::pair<std::string, std::string>> made;
  auto it = made.find(opt.key_bits);
  if (it == made.end()) {
    std::string kd = zvtest::scratch_dir("client-keys");
    zvtest::CertSpec spec;
    spec.bits = opt.key_bits;
    spec.common_name = "zvp-a.test.invalid";
    spec.country = "US";
    spec.organization = "Zolvar Test Org";
    zvtest::make_key_and_cert(kd + "/k.pem", kd + "/c.pem", spec);
    it = made.emplace(opt.key_bits, std::make_pair(zvtest::read_file(kd + "/k.pem"),
                                                   zvtest::read_file(kd + "/c.pem")))
             .first;
  }
  in.key_path = in.dir + "/keys/zvp_a.key";
  in.cert_path = in.dir + "/keys/zvp_a.pem";
  zvtest::write_file(in.key_path, it->second.first);
  zvtest::write_file(in.cert_path, it->second.second);
  zvtest::write_file(in.dir + "/ca_cert.pem", it->second.second);

  auto zvp_section = [&](const std::string &name, int version, int port) {
    return "\n[" + name + "]\nprocess_type = ZVP_PROCESS\nzvversion = " + std::to_string(version) +
           "\nkey = keys/zvp_a.key\ncert = keys/zvp_a.pem\n"
           "transport_listen_port = 127.0.0.1:" +
           std::to_string(port) + "\npacing_delay = 0\n";
  };
  std::string conf =
      std::string("process_names = clientd, rclientd, izvp_a") +
      (opt.v3_identity ? ", izvp_b\n" : "\n") +
      "failover_path = ./failover\n"
      "interface = dir\n"
      "indir = ./in_dir\n"
      "dirpolldelay = 1\n" +
      opt.extra_default +
      "\n[clientd]\nprocess_type = CLIENT_PROCESS\n" + opt.extra_client +
      "\n[rclientd]\nprocess_type = RECEIPT_PROCESS\n"
      "transport_listen_port = 127.0.0.1:" +
      std::to_string(in.receipt_port) +
      "\n" +
      zvp_section("izvp_a", opt.zvp_version, in.zvp_port) +
      (opt.v3_identity ? zvp_section("izvp_b", 3, in.zvp3_port) : "");
  zvtest::write_file(in.dir + "/zolvar.conf", conf);

  struct P {
    const char *isaid, *local, *remote, *mt, *rt;
  } ps[] = {{"BASICP", "BLOCAL", "BREMOTE", "BASIC_EDI", "BASIC_RECEIPT"},
            {"INTEGP", "ILOCAL", "IREMOTE", "INTEGRITY_EDI", "INTEGRITY_RECEIPT"},
            {"SIGNP", "SLOCAL", "SREMOTE", "SIGNED_EDI", "SIGNED_RECEIPT"},
            {"DXCP", "DXC7", "DXC_TEST", "INTEGRITY_EDI", "NO_RECEIPT"},
            {"B3P", "B3LOCAL", "B3REMOTE", "BASIC_EDI", "BASIC_RECEIPT"},
            {"I3P", "I3LOCAL", "I3REMOTE", "INTEGRITY_EDI", "INTEGRITY_RECEIPT"},
            {"S3P", "S3LOCAL", "S3REMOTE", "SIGNED_EDI", "SIGNED_RECEIPT"}};
  const size_t count = opt.v3_identity ? 7 : 4;
  const std::string v2_eps = "BASICP, INTEGP, SIGNP, DXCP";
  const std::string v3_eps = opt.v3_integrity_partner ? "B3P, I3P, S3P" : "B3P, S3P";
  std::string tp =
      std::string("trading_partners = rc_all\nlocal_certificates = lc_a") +
      (opt.v3_identity ? ", lc_b\n" : "\n") + "\n[lc_a]\nzvp_name = izvp_a\nendpoints = " + v2_eps +
      "\n" + (opt.v3_identity ? "\n[lc_b]\nzvp_name = izvp_b\nendpoints = " + v3_eps + "\n" : "");
  int i = 0;
  for (const P &p : std::vector<P>(ps, ps + count)) {
    if (std::string(p.isaid) == "I3P" && !opt.v3_integrity_partner) {
      ++i;
      continue;
    }
    tp += std::string("\n[") + p.isaid + "]\nlocal_partner_id = " + p.local +
          "\nremote_partner_id = " + p.remote +
          "\nip_address = 127.0.0.1\nstandard_ip_port = " + std::to_string(17001 + i) +
          "\nhipri_ip_port = " + std::to_string(17101 + i) +
          "\nserver_status = 1\nzv_message_to_tp = " + p.mt + "\nzv_message_from_tp = " + p.mt +
          "\nzv_receipt_from_tp = " + p.rt + "\nzv_receipt_to_tp = " + p.rt + "\n";
    ++i;
  }
  tp += "\n[rc_all]\ncertificate_common_name = partners.test.invalid\nendpoints = " + v2_eps +
        (opt.v3_identity ? ", " + v3_eps : "") + "\n";
  zvtest::write_file(in.dir + "/tpartner.conf", tp);
  return in;
}

pid_t start_daemon(const Installation &in, const std::string &exe, const std::string &argv0,
                   const std::vector<std::string> &args, const std::string &tag,
                   int *parent_status, const std::function<bool()> &before_exec) {
  unlink((in.dir + "/" + argv0 + ".pid").c_str());
  pid_t p = zvtest::start_program(exe, argv0, args, in.dir, tag, before_exec);
  zvtest::RunResult r = zvtest::wait_program(p, in.dir, tag);
  if (parent_status) *parent_status = r.status;
  if (r.status != 0) return -1;
  pid_t pid = zvtest::wait_pid_file(in.dir + "/" + argv0 + ".pid");
  // Ready once the start banner is out: the signal handlers are in place by then.
  rtt::Daemon probe(pid);
  zvtest::wait_for(
      [&] {
        return zvtest::read_file(in.dir + "/" + tag + ".out").find(kBannerLine) != std::string::npos ||
               !probe.alive();
      },
      10000);
  probe.reset(-1);
  return pid;
}

namespace {

bool first_stub(const std::string &zvp) { return zvp == "izvp_a"; }
std::string report_of(const std::string &zvp) {
  return first_stub(zvp) ? "zvp_report.txt" : "zvp_report_" + zvp + ".txt";
}
std::string envelopes_of(const std::string &zvp) {
  return first_stub(zvp) ? "envelopes" : "envelopes_" + zvp;
}

}  // namespace

pid_t start_stub(const Installation &in, const std::string &zvp) {
  const std::string tag = first_stub(zvp) ? "stub" : "stub_" + zvp;
  mkdir((in.dir + "/" + envelopes_of(zvp)).c_str(), 0755);
  pid_t pid = start_daemon(in, zvpstub_exe(), zvp, {"-F", report_of(zvp), "-D", envelopes_of(zvp)},
                           tag);
  if (pid <= 0) return pid;
  zvtest::wait_for(
      [&] {
        return zvtest::read_file(in.dir + "/" + tag + ".out").find("ZVP stand-in serving") !=
               std::string::npos;
      },
      5000);
  return pid;
}

std::vector<std::string> stub_lines(const Installation &in, const std::string &zvp) {
  return lines_of(in.dir + "/" + report_of(zvp));
}

std::vector<std::string> wait_stub_lines(const Installation &in, size_t n, int timeout_ms,
                                         const std::string &zvp) {
  zvtest::wait_for([&] { return stub_lines(in, zvp).size() >= n; }, timeout_ms);
  return stub_lines(in, zvp);
}

std::vector<std::string> fields(const std::string &line) { return split(line, '|'); }

StubLine parse_stub_line(const std::string &line) {
  StubLine l;
  auto f = fields(line);
  if (f.size() != 13) return l;
  l.seq = atoi(f[0].c_str());
  l.version = atoi(f[1].c_str());
  l.kind = f[2];
  l.msg_type = atoi(f[3].c_str());
  l.partner = f[4];
  l.priority = atoi(f[5].c_str());
  l.dest = f[6];
  l.in_len = atoi(f[7].c_str());
  l.env_len = atoi(f[8].c_str());
  l.dig_len = atoi(f[9].c_str());
  l.verdict = f[10];
  l.detail = f[11];
  l.saved = f[12];
  return l;
}

bytes saved_envelope(const Installation &in, const StubLine &l, const std::string &zvp) {
  if (l.saved.empty() || l.saved == "-") return "";
  return zvtest::read_file(in.dir + "/" + envelopes_of(zvp) + "/" + l.saved);
}

std::vector<std::string> client_log(const Installation &in) {
  return lines_of(in.dir + "/client_trans.log");
}
std::vector<std::string> receipt_log(const Installation &in) {
  return lines_of(in.dir + "/receipt_trans.log");
}
std::vector<std::string> alerts(const Installation &in) { return lines_of(in.dir + "/zolvar.alert"); }

std::string line_subject(const std::string &line) {
  std::vector<std::string> f = split(line, '|');
  if (f.size() < 5) return "?" + line;
  return f[1] + "|" + f[2] + "|" + f[3] + "|" + f[4];
}

void signing_identity(const std::string &name, EVP_PKEY **key, X509 **cert, std::string *dir) {
  std::string kd = zvtest::scratch_dir(name);
  if (dir) *dir = kd;
  zvtest::CertSpec spec;
  spec.country = "US";
  spec.organization = "Zolvar Test Org";
  zvtest::make_key_and_cert(kd + "/k.pem", kd + "/c.pem", spec);
  *key = nullptr;
  *cert = nullptr;
  ASSERT_EQ(load_private_key_from_file((kd + "/k.pem").c_str(), key), 0);
  ASSERT_EQ(load_cert_struct_from_file(cert, (kd + "/c.pem").c_str()), 0);
}

std::string soc_header(size_t len, unsigned prio) {
  std::string r(4, '\0');
  for (int i = 0; i < 4; ++i) r[i] = static_cast<char>((len >> (24 - 8 * i)) & 0xff);
  r.push_back(static_cast<char>(prio >> 8));
  r.push_back(static_cast<char>(prio & 0xff));
  return r;
}

int soc_connect(int port) {
  for (int attempt = 0; attempt < 250; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string soc_ending(int fd) {
  char c;
  ssize_t n;
  while ((n = read(fd, &c, 1)) > 0) {
  }
  int err = errno;
  close(fd);
  if (n == 0) return "closed";
  return err == ECONNRESET ? "reset" : std::string("error ") + strerror(err);
}

std::string soc_send(int port, const std::string &data, size_t piece) {
  int fd = soc_connect(port);
  if (fd < 0) return "no connection";
  size_t off = 0;
  while (off < data.size()) {
    size_t want = piece > 0 && piece < data.size() - off ? piece : data.size() - off;
    ssize_t n = send(fd, data.data() + off, want, MSG_NOSIGNAL);
    if (n <= 0) {
      int err = errno;
      close(fd);
      return err == ECONNRESET || err == EPIPE ? "reset" : std::string("error ") + strerror(err);
    }
    off += static_cast<size_t>(n);
    if (piece > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  shutdown(fd, SHUT_WR);
  return soc_ending(fd);
}

}  // namespace ctu
