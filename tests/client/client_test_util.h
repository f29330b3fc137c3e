// Shared pieces of the client tests: expected DER built by hand, the independent parser
// (`openssl asn1parse`) over an envelope, an in-process working directory with a
// partner table, and complete scratch installations for clientd and the ZVP stand-in
// started as real processes.
#ifndef ZV_TESTS_CLIENT_CLIENT_TEST_UTIL_H
#define ZV_TESTS_CLIENT_CLIENT_TEST_UTIL_H

#include <sys/types.h>

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

// Runs `openssl asn1parse -inform DER` over the octets; its exit status, output in *out.
int asn1parse(const bytes &der, std::string *out);
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
  // Files in to_remote_failed_messages.
  std::vector<std::string> failed_copies() const;

 private:
  std::string dir_;
  std::string old_cwd_;
};

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

// Partners of every scratch installation, all served by the local identity izvp_a:
//   BASICP  BLOCAL  -> BREMOTE   BASIC_EDI      BASIC_RECEIPT
//   INTEGP  ILOCAL  -> IREMOTE   INTEGRITY_EDI  INTEGRITY_RECEIPT
//   SIGNP   SLOCAL  -> SREMOTE   SIGNED_EDI     SIGNED_RECEIPT
//   DXCP    DXC7    -> DXC_TEST  INTEGRITY_EDI  NO_RECEIPT   (the built-in test message)
// Partner ports: standard 17001 + index, high priority 17101 + index.
struct Installation {
  std::string dir;
  int zvp_port = 0;      // transport address of izvp_a
  int receipt_port = 0;  // the receipt client's socket
  std::string key_path;  // izvp_a's key and certificate (absolute)
  std::string cert_path;
};

struct InstallOptions {
  int zvp_version = 2;
  int key_bits = 2048;
  std::string extra_default;  // lines added to [default]
  std::string extra_client;   // lines added to [clientd]
};

Installation make_installation(const std::string &name, const InstallOptions &opt = {});

std::string clientd_exe();
std::string zvpstub_exe();

// A daemon started under `argv0` in the installation: waits for its pid file. -1 when
// the parent did not leave with 0 (its status in *parent_status).
pid_t start_daemon(const Installation &in, const std::string &exe, const std::string &argv0,
                   const std::vector<std::string> &args, const std::string &tag,
                   int *parent_status = nullptr);

// The ZVP stand-in of the installation with its report file and envelope folder.
pid_t start_stub(const Installation &in);
std::vector<std::string> stub_lines(const Installation &in);
// Waits until the stand-in has reported `n` lines; returns them.
std::vector<std::string> wait_stub_lines(const Installation &in, size_t n, int timeout_ms = 15000);
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
bytes saved_envelope(const Installation &in, const StubLine &l);

std::vector<std::string> client_log(const Installation &in);
std::vector<std::string> receipt_log(const Installation &in);

}  // namespace ctu

#endif
