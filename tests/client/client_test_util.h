// Shared pieces of the client tests: expected DER built by hand, the independent parser
// (`openssl asn1parse`) over an envelope, an in-process working directory with a
// partner table, and complete scratch installations for clientd and the ZVP stand-in
// started as real processes.
#ifndef ZV_TESTS_CLIENT_CLIENT_TEST_UTIL_H
#define ZV_TESTS_CLIENT_CLIENT_TEST_UTIL_H

#include <openssl/types.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "runtime/zv_common.h"

namespace ctu {

using bytes = std::string;

// One DER element with a minimal definite length.
bytes tlv(unsigned char tag, const bytes &content);
// Encoded object identifiers (whole TLV).
extern const bytes kOidZvEdi1, kOidZvEdi2, kOidZvEdi3, kOidZvR1, kOidZvS1, kOidSha1, kOidRsa,
    kOidCountry, kOidOrg;

// Runs `openssl asn1parse -inform DER` (with `extra` options, e.g. "-strparse 3") over
// the octets; its exit status, output in *out.
int asn1parse(const bytes &der, std::string *out, const std::string &extra = "");
// 55-byte block recovered from a PKCS #1 signature with the certificate's public key
// (`openssl pkeyutl -verifyrecover`); empty when the tool refuses.
bytes recover_signed_block(const bytes &signature, const std::string &cert_pem_path);
// The block the signature rule signs over `data`: the SHA-1 DigestInfo holding the 40
// hex characters (computed here with `openssl sha1`).
bytes expected_signed_block(const bytes &data);
std::string sha1_hex(const bytes &data);

// ---- in-process -------------------------------------------------------------------

// A scratch working directory with the failed-message directories, the transaction
// logs pointed into it, the object identifiers registered and the partner table empty.
// The process's working directory is switched there until the end of the test.
class InProcessEnv {
 public:
  explicit InProcessEnv(const std::string &name);
  ~InProcessEnv();
  const std::string &dir() const { return dir_; }
  // The lines of the client transaction log written so far.
  std::vector<std::string> client_log() const;
  std::vector<std::string> receipt_log() const;
  std::vector<std::string> alerts() const;
  // Files in to_remote_failed_messages.
  std::vector<std::string> failed_copies() const;

 private:
  std::string dir_;
  std::string old_cwd_;
};

// A record over buffers of its own: the input text with its NUL and an output buffer of
// `cap` bytes followed by 64 more, all filled with 0xEE, so that a write beyond the
// envelope shows.
struct Rec {
  Trans_ctl_rec t{};
  std::vector<char> in;
  std::vector<char> out;
  explicit Rec(const std::string &text, int cap = 65536);
  bytes envelope() const { return bytes(t.obufferp, static_cast<size_t>(t.obuf_length)); }
  // True when nothing past `n` bytes of the output buffer was touched.
  bool untouched_after(size_t n) const;
};

// The envelope parses with `openssl asn1parse` and its printout holds each of `must`.
void expect_parses(const bytes &der, const std::vector<std::string> &must);

// Puts an entry into the partner table (index `i`); ids as configured (no blanks).
void set_partner(int i, const char *isaid, const char *local_id, const char *remote_id,
                 zvmt message_type, zvrt receipt_type, int port = 16999, int hipriport = 16998);
void clear_partners();

// The last field (the result code) of a transaction-log line, and its isa field.
int log_code(const std::string &line);
std::string log_isa(const std::string &line);
int log_msg_type(const std::string &line);

// An X12 ISA segment (105 characters) with the given sender and receiver ids, each
// blank-padded to 15.
std::string isa_segment(const std::string &sender, const std::string &receiver);
// An interchange of about `size` bytes beginning with that segment.
std::string interchange(const std::string &sender, const std::string &receiver,
                        size_t size = 400);
// A receipt request ("ZVR:" ISA separator stamp "xxx" hex).
std::string receipt_request(const std::string &isa, const std::string &stamp,
                            const std::string &hex);

// ---- real processes ---------------------------------------------------------------

// zvtest::free_tcp_port: a port claimed for this test process.
int free_port();

// What another process of the installation does: one transaction whose input is `text`
// (a receipt or status request) with its NUL (without it when `nul` is false), sent to the
// receipt client's socket; the send's result.
int send_request(int port, const std::string &text, int priority = 0, bool nul = true);
// "ZVS:", the id right-aligned in 15 columns, ":" and the keyword.
std::string status_request(const std::string &isaid, const std::string &keyword);

// Partners of every scratch installation, all served by the local identity izvp_a:
//   BASICP  BLOCAL  -> BREMOTE   BASIC_EDI      BASIC_RECEIPT
//   INTEGP  ILOCAL  -> IREMOTE   INTEGRITY_EDI  INTEGRITY_RECEIPT
//   SIGNP   SLOCAL  -> SREMOTE   SIGNED_EDI     SIGNED_RECEIPT
//   DXCP    DXC7    -> DXC_TEST  INTEGRITY_EDI  NO_RECEIPT   (the built-in test message)
// With InstallOptions::v3_identity, a second local identity izvp_b of protocol version
// 3 (with izvp_a's key and certificate) serves two more, and with v3_integrity_partner
// a third, whose envelopes version 3 does not have (clientd refuses to start then):
//   B3P     B3LOCAL -> B3REMOTE  BASIC_EDI      BASIC_RECEIPT
//   I3P     I3LOCAL -> I3REMOTE  INTEGRITY_EDI  INTEGRITY_RECEIPT
//   S3P     S3LOCAL -> S3REMOTE  SIGNED_EDI     SIGNED_RECEIPT
// Partner ports: standard 17001 + index, high priority 17101 + index.
struct Installation {
  std::string dir;
  int zvp_port = 0;      // transport address of izvp_a
  int zvp3_port = 0;     // transport address of izvp_b (v3_identity only)
  int receipt_port = 0;  // the receipt client's socket
  std::string key_path;  // izvp_a's key and certificate (absolute)
  std::string cert_path;
};

struct InstallOptions {
  int zvp_version = 2;  // of izvp_a
  int key_bits = 2048;
  bool v3_identity = false;
  bool v3_integrity_partner = false;
  std::string extra_default;  // lines added to [default]
  std::string extra_client;   // lines added to [clientd]
};

Installation make_installation(const std::string &name, const InstallOptions &opt = {});

std::string clientd_exe();
std::string zvpstub_exe();

// A daemon started under `argv0` in the installation: waits for its pid file. -1 when
// the parent did not leave with 0 (its status in *parent_status). `before_exec` as for
// zvtest::start_program.
pid_t start_daemon(const Installation &in, const std::string &exe, const std::string &argv0,
                   const std::vector<std::string> &args, const std::string &tag,
                   int *parent_status = nullptr,
                   const std::function<bool()> &before_exec = {});

// The ZVP stand-in serving the local identity `zvp` ("izvp_a" or "izvp_b") with its
// report file and envelope folder: "zvp_report.txt" and "envelopes" for izvp_a,
// "zvp_report_<zvp>.txt" and "envelopes_<zvp>" for another.
pid_t start_stub(const Installation &in, const std::string &zvp = "izvp_a");
std::vector<std::string> stub_lines(const Installation &in, const std::string &zvp = "izvp_a");
// Waits until the stand-in has reported `n` lines; returns them.
std::vector<std::string> wait_stub_lines(const Installation &in, size_t n, int timeout_ms = 15000,
                                         const std::string &zvp = "izvp_a");
std::vector<std::string> fields(const std::string &line);
// One stand-in report line by its fields.
struct StubLine {
  int seq = 0;
  int version = 0;
  std::string kind;
  int msg_type = 0;
  std::string partner;
  int priority = -1;
  std::string dest;
  int in_len = 0;
  int env_len = 0;
  int dig_len = 0;
  std::string verdict;
  std::string detail;
  std::string saved;
};
StubLine parse_stub_line(const std::string &line);
// The envelope the stand-in saved for a line.
bytes saved_envelope(const Installation &in, const StubLine &l, const std::string &zvp = "izvp_a");

std::vector<std::string> client_log(const Installation &in);
std::vector<std::string> receipt_log(const Installation &in);
std::vector<std::string> alerts(const Installation &in);

// ---- a signing identity ------------------------------------------------------------

// A 2,048-bit key and a self-signed certificate whose issuer has country "US" and
// organization "Zolvar Test Org", made in a scratch directory `name` (k.pem, c.pem; its
// path in *dir when given) and loaded; the caller frees both.
void signing_identity(const std::string &name, EVP_PKEY **key, X509 **cert,
                      std::string *dir = nullptr);

// ---- the socket interface's peer --------------------------------------------------

// The length and priority fields of a socket record, without its body.
std::string soc_header(size_t len, unsigned prio);
// A connection to 127.0.0.1:`port`, tried again every 20 ms for 5 s while nothing
// listens there; -1 when nothing did.
int soc_connect(int port);
// Reads the connection to its end and closes it: how the interface ended it, "closed"
// (an orderly close: the document taken) or "reset".
std::string soc_ending(int fd);
// One connection: sends `data` (in pieces of `piece` bytes 2 ms apart, when given), ends
// its side, and tells how the interface ended it ("no connection" when none came).
std::string soc_send(int port, const std::string &data, size_t piece = 0);

// What a transaction-log line or an alert line says about the document and partner:
// fields 1 to 4 of the line joined by '|' (message type, ISA line or partner id, address,
// result code), so that "no partner" reads as two '|' side by side.
std::string line_subject(const std::string &line);

}  // namespace ctu

#endif
