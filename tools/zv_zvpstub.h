// The checks of the ZVP stand-in (izvpstub): what a received transaction's envelope is,
// whether it decodes with the system's own decoders, and whether its digest, signature
// or content agrees with what travelled with it (the input text, the digest field and
// the local certificate of the client that built it). One report line per transaction.
//
// Report line, fields separated by '|', in this order:
//   seq       transaction number of this stand-in, from 1
//   version   the record's zvp_version
//   kind      basic-edi, integrity-edi, signed-edi, basic-receipt, integrity-receipt,
//             signed-receipt, status, raw (the input sent unchanged), or msgtype-N;
//             the version field says which issue's envelope was decoded
//   msg_type  the record's msg_type
//   partner   ISA id of the partner the transaction names, "-" for none
//   priority  the record's iPriority
//   dest      dest_ip:dest_port
//   in_len    imsg_length (the input text with its NUL)
//   env_len   omsg_length (the envelope)
//   dig_len   digest_length
//   verdict   verified (digest or signature checked), consistent (content checked against
//             the request, nothing cryptographic to check), FAILED, undecodable, unchecked
//   detail    what was found, as key=value words joined by ','
//   saved     the file name of the saved envelope, "-" when not saved
// Kinds are looked up in a table by (version, msg_type): version 2 decodes with the
// system's own records and the Issue 2 codec, version 3 with the Issue 3 codec (the
// basic receipt's inner v3_SecureMessage included) but for the signed EDI envelope and
// the signed receipt, which are the version-2 ones.
//
// No state; one transaction at a time.
#ifndef ZV_TOOLS_ZV_ZVPSTUB_H
#define ZV_TOOLS_ZV_ZVPSTUB_H

#include <string>

#include "runtime/zv_common.h"

struct zvp_check_result {
  std::string kind;
  std::string verdict;
  std::string detail;
};

// Decodes and checks the envelope of a received record.
zvp_check_result zvp_check_transaction(const Trans_ctl_rec &rec);

// The report line (without its newline) for a checked record.
std::string zvp_report_line(int seq, const Trans_ctl_rec &rec, const zvp_check_result &r,
                            const std::string &saved);

#endif
