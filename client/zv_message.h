// What clientd does with one input before it is sent: the classification by its first
// three characters ("ISA" an interchange, "ZVR" a receipt request, "ZVS:" a status
// request) with the partner lookup (findPartner), and the envelope builders with their
// dispatcher for a local identity of protocol version 2 (process_rawInputData) and of
// version 3 (process_rawInputData_v3).
//
// Text layouts owned here:
//   status request   "ZVS:" id ":" keyword   (id: the partner's ISA id, usually
//                                             right-aligned in 15 columns)
//   receipt request  "ZVR" x, then the 105-character ISA segment, a separator, the
//                    15-character time stamp, 3 characters not read, and from there the
//                    digest (integrity receipt) or signature (signed receipt) as hex text.
//
// Every builder measures its envelope first and writes it only when it fits the output
// buffer; an envelope that would not fit is refused (-1), never cut.
//
// Callers: clientd (client/zv_clientd.h). No state of its own; one record at a time per
// thread (the object registry is only read).
#ifndef ZV_CLIENT_ZV_MESSAGE_H
#define ZV_CLIENT_ZV_MESSAGE_H

#include <openssl/types.h>

#include "codec/zv_der.h"
#include "runtime/zv_common.h"

// Layout of a receipt request, counted after its first four characters.
constexpr int ZV_RR_PREFIX = 4;           // "ZVR" and one more character
constexpr int ZV_RR_ISA_LENGTH = 105;     // characters 0-104
constexpr int ZV_RR_STAMP_OFFSET = 106;   // characters 106-120
constexpr int ZV_RR_STAMP_LENGTH = 15;
constexpr int ZV_RR_DIGEST_OFFSET = 124;  // hex text up to the NUL

// The ISA segment of an interchange and its two ids (counted from 0).
constexpr int ZV_ISA_SEGMENT_LENGTH = 105;
constexpr int ZV_ISA06_OFFSET = 35;  // sender
constexpr int ZV_ISA08_OFFSET = 54;  // receiver
constexpr int ZV_ISA_ID_LENGTH = 15;

// Status code given to Generate_ZV_Status for a keyword that names no pattern: the
// keyword text itself is carried.
constexpr int ZV_STATUS_KEYWORD_TEXT = 6;

// The result of a refusal whose document could not be kept: reported (transaction log,
// alert), but its copy of the failed message could not be saved (the directory missing,
// the disk full). A caller that tells a sender its document was kept must not.
constexpr int ZV_REFUSED_NOT_KEPT = -2;

// Reports a refused document through transaction_logging: -1, or ZV_REFUSED_NOT_KEPT when
// its copy could not be saved.
int zv_report_refusal(Trans_ctl_rec *tctlp, int code);

// Classifies the input at tctlp->ibufferp (NUL-terminated) and finds its partner.
// 0 with msg_type, isa_line and tp_index set. The input is left as it came: the part to
// encode is zv_request_part's, so that every refusal, here or later, keeps the whole
// document as its copy. -1 after reporting the refusal through transaction_logging
// (obuf_length 0, tp_index -1), ZV_REFUSED_NOT_KEPT when its copy could not be saved.
// The record's msg_type and isa_line are cleared first, so that a refusal names only
// this input, never the document the record carried before.
int findPartner(Trans_ctl_rec *tctlp);

// The part of the record's input that its envelope carries and the transaction hands
// over: a status request's keyword (after the first ':' that follows "ZVS:"), a receipt
// request's text after its first four characters, else the whole input; its offset in
// *offset when given.
char *zv_request_part(const Trans_ctl_rec *tctlp, int *offset);

// Builds the version-2 envelope for the classified record into its output buffer
// (obufferp, capacity obuf_length). 0 with obuf_length the envelope's length and
// msg_type the kind sent (1-6, 9); -1 after reporting the refusal with the record's
// partner, which leaves obuf_length 0 and tp_index -1 (ZV_REFUSED_NOT_KEPT when its copy
// could not be saved). In raw mode the part to encode is copied unchanged. `pRsa` is the
// local identity's RSA key (used for signed EDI only).
int process_rawInputData(Trans_ctl_rec *tctlp, EVP_PKEY *pRsa);

// The builders: each writes the DER of its envelope at `obufp` when it fits in
// `obuf_size` bytes and returns its length; -1 (logged) when it would not fit or could
// not be made. `ibufp` is the NUL-terminated text to encode.
int AsciiEDI_2_BasicEDI(const char *ibufp, char *obufp, int obuf_size);
// Also sets the record's digest to the 40-character hex SHA-1 of the input.
int AsciiEDI_2_EDIwMI(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size);
// Signs with `pRsa`, takes the issuer fields and serial from tctlp->pLocalCert, and sets
// the record's digest to the hex text of the signature. A signature that cannot be made
// refuses the envelope.
int AsciiEDI_2_EDIwNR(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size,
                      EVP_PKEY *pRsa);
// Sizes of the signed envelope, for callers that must bound a body before it is read.
//
// Octets of a DER element (tag, definite length, content) whose content has n octets.
constexpr long zv_der_size(long n) {
  return static_cast<long>(zv_der_header_size(static_cast<size_t>(n))) + n;
}

// Octets of an issuer part of the signed EDI envelope whose text has `text` octets:
// SEQUENCE { SET OF { SEQUENCE { OID, PrintableString } } }.
constexpr long zv_issuer_part_size(long text) {
  constexpr long oid_attribute = 5;  // countryName, organizationName: 06 03 55 04 xx
  return zv_der_size(zv_der_size(zv_der_size(oid_attribute + zv_der_size(text))));
}

// Octets of the signed EDI envelope of a `body`-octet document: a signature of
// `signature` octets, a certificate whose issuer country and organization texts have
// `country` and `organization` octets and whose serial number has `serial` content
// octets. The same envelope serves protocol versions 2 and 3.
constexpr long zv_signed_edi_size(long body, long signature, long country, long organization,
                                  long serial) {
  constexpr long oid_zv = 11;   // ZV_EDI_1, ZV_EDI_2: 06 09 and nine octets
  constexpr long oid_sha1 = 7;  // 06 05 2B 0E 03 02 1A
  constexpr long oid_rsa = 11;  // rsaEncryption: 06 09 and nine octets
  constexpr long version = 3;   // INTEGER 0
  // SEQUENCE { OID ZV_EDI_1, [0] { OCTET STRING body } }
  long inner = zv_der_size(oid_zv + zv_der_size(zv_der_size(body)));
  // SEQUENCE { country part, organization part, INTEGER serial }
  long issuer = zv_der_size(zv_issuer_part_size(country) + zv_issuer_part_size(organization) +
                            zv_der_size(serial));
  // SEQUENCE { version, issuer, OID SHA1, OID rsaEncryption, OCTET STRING signature }
  long signer = zv_der_size(version + issuer + oid_sha1 + oid_rsa + zv_der_size(signature));
  // SEQUENCE { version, SET OF { OID SHA1 }, inner, SET OF { signer } }
  long content = zv_der_size(version + zv_der_size(oid_sha1) + inner + zv_der_size(signer));
  // SEQUENCE { OID ZV_EDI_2, [0] content }
  return zv_der_size(oid_zv + zv_der_size(content));
}

// The most a local identity adds to a signed envelope: the signature of the largest key
// accepted at start (16,384 bits), an issuer country of 2 and an organization of 64
// characters (the X.520 upper bounds) at up to 4 octets a character, a serial number of
// 20 octets (RFC 5280) and its sign octet.
constexpr long ZV_MAX_SIGNATURE_OCTETS = ZV_MAX_DIGEST_LENGTH;
constexpr long ZV_MAX_ISSUER_COUNTRY_OCTETS = 2 * 4;
constexpr long ZV_MAX_ISSUER_ORG_OCTETS = 64 * 4;
constexpr long ZV_MAX_SERIAL_OCTETS = 20 + 1;

constexpr long zv_max_signed_edi_size(long body) {
  return zv_signed_edi_size(body, ZV_MAX_SIGNATURE_OCTETS, ZV_MAX_ISSUER_COUNTRY_OCTETS,
                            ZV_MAX_ISSUER_ORG_OCTETS, ZV_MAX_SERIAL_OCTETS);
}

// The receipt builders take the text after the request's first four characters and
// leave it unchanged.
int AsciiEDI_2_BasicReceipt(const char *ibufp, char *obufp, int obuf_size);
int AsciiEDI_2_Receipt_MI(const char *ibufp, char *obufp, int obuf_size);
int AsciiEDI_2_Receipt_NR(const char *ibufp, char *obufp, int obuf_size);
// `flag` 0-3 carries the pattern of zv_status_code, any other value the text at ibufp.
// Less than 1 on failure.
int Generate_ZV_Status(int flag, const char *ibufp, char *obufp, int obuf_size);

// ---- version 3 ----------------------------------------------------------------------
// Issue 3 carries no integrity EDI, no integrity receipt and no integrity or signed
// text or XML; the signed EDI envelope and the signed receipt are the version-2 ones.

// Builds the version-3 envelope for the classified record into its output buffer, like
// process_rawInputData. Refusing a partner setting that Issue 3 cannot carry reports the
// fatal ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE (or ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE
// for no or an unknown receipt type), which ends the process. For a status request
// `status` 0 (what clientd passes) lets the keyword choose the pattern (TEST, STOP_WAN,
// STOP_OSS, RESTART, PING_REQUEST, PING_RESPONSE by their leading characters, any other
// text carried as it is); another value is the code given to Generate_ZV_StatusV3.
int process_rawInputData_v3(Trans_ctl_rec *tctlp, EVP_PKEY *pRsa, int status);

// The input as the IA5String basicMessage2 of a v3_ZvMessage.
int AsciiEDI_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size);
// Text and XML payloads: the [0] (basicMessage3) and [1] (basicMessage4) EXPLICIT
// IA5String alternatives of v3_ZvMessage, the only other text alternatives it has.
int AsciiTXT_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size);
int AsciiXML_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size);
// AsciiEDI_2_EDIwNR, octet for octet.
int AsciiEDI_2_EDIwNR_v3(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size,
                         EVP_PKEY *pRsa);
// The receipt as a v3_SecureMessage (messageReceipt, isaSegment, no enhancements) whose
// DER is the enhancedMessage OCTET STRING of a v3_ZvMessage. Takes the text after the
// request's first four characters and leaves it unchanged.
int AsciiEDI_2_BasicReceipt_v3(const char *ibufp, char *obufp, int obuf_size);
// AsciiEDI_2_Receipt_NR, octet for octet.
int AsciiEDI_2_Receipt_NR_v3(const char *ibufp, char *obufp, int obuf_size);
// The zvStatusMessage BIT STRING of a v3_ZvMessage: `flag` 0-5 carries the pattern of
// zv_status_code, any other value the text at ibufp. Less than 1 on failure.
int Generate_ZV_StatusV3(int flag, const char *ibufp, char *obufp, int obuf_size);

#endif
