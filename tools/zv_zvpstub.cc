#include "tools/zv_zvpstub.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/zv_asn1.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_status_code.h"
#include "tcif/tcif98-006v2.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif98-006v3b.h"

namespace {

template <typename T, void (*F)(T *)>
struct Deleter {
  void operator()(T *p) const { F(p); }
};
template <typename T, void (*F)(T *)>
using Owned = std::unique_ptr<T, Deleter<T, F>>;

// What the checks look at: the envelope, the input text that travelled with it (up to
// its NUL) and the record's digest and certificate.
struct Txn {
  const Trans_ctl_rec &rec;
  const unsigned char *env;
  long env_len;
  std::string input;
};

std::string str_of(const ASN1_STRING *s) {
  if (s == nullptr) return "";
  return std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                     static_cast<size_t>(ASN1_STRING_length(s)));
}

bool is_obj(const ASN1_OBJECT *o, const char *name) {
  if (o == nullptr) return false;
  ASN1_OBJECT *want = OBJ_txt2obj(name, 0);
  bool same = want != nullptr && OBJ_cmp(o, want) == 0;
  ASN1_OBJECT_free(want);
  return same;
}

long int_of(const ASN1_INTEGER *i) { return i ? ASN1_INTEGER_get(i) : -1; }

std::string serial_hex(const ASN1_INTEGER *i) {
  BIGNUM *bn = i ? ASN1_INTEGER_to_BN(i, nullptr) : nullptr;
  char *hex = bn ? BN_bn2hex(bn) : nullptr;
  std::string out = hex ? hex : "?";
  OPENSSL_free(hex);
  BN_free(bn);
  return out;
}

// Collects the findings; any failed expectation makes the verdict FAILED.
class Findings {
 public:
  explicit Findings(zvp_check_result &r) : r_(r) {}
  void note(const std::string &key, const std::string &value) {
    if (!r_.detail.empty()) r_.detail += ',';
    r_.detail += key + "=" + value;
  }
  void expect(bool ok, const std::string &what) {
    if (!ok) {
      failed_ = true;
      note("bad", what);
    }
  }
  // `good` is the verdict when nothing failed.
  void finish(const char *good) { r_.verdict = failed_ ? "FAILED" : good; }

 private:
  zvp_check_result &r_;
  bool failed_ = false;
};

// Runs the decoder; on success checks that it used the whole envelope.
template <typename T, typename D>
T *decode(const Txn &t, D d2i, Findings &f) {
  const unsigned char *p = t.env;
  T *m = d2i(nullptr, &p, t.env_len);
  if (m != nullptr) f.expect(p == t.env + t.env_len, "trailing-octets");
  return m;
}

std::string issuer_text(X509 *cert, int nid) {
  char buf[256] = "";
  X509_NAME *n = cert ? X509_get_issuer_name(cert) : nullptr;
  if (n == nullptr || X509_NAME_get_text_by_NID(n, nid, buf, sizeof buf) < 0) return "";
  return buf;
}

void check_basic_edi(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  Owned<PlainEDImessage, PlainEDImessage_free> m(decode<PlainEDImessage>(t, d2i_PlainEDImessage, f));
  if (!m) {
    r.verdict = "undecodable";
    return;
  }
  std::string content = str_of(m->ediContent);
  f.expect(is_obj(m->plainEDImessage, "ZV_EDI_1"), "identifier");
  f.expect(content == t.input, "content");
  f.note("content", std::to_string(content.size()));
  f.finish("consistent");
}

void check_integrity_edi(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  Owned<ZV_EDI_MSGtype03, ZV_EDI_MSG_03_free> m(
      decode<ZV_EDI_MSGtype03>(t, d2i_ZV_EDI_MSG_integrity, f));
  if (!m || m->ediIntegrityContent == nullptr || m->ediIntegrityContent->ediInnerContent == nullptr) {
    r.verdict = "undecodable";
    return;
  }
  const ZV_EDI_MSGtype02 *c = m->ediIntegrityContent;
  std::string content = str_of(c->ediInnerContent->ediContent);
  std::string digest = str_of(c->ediIntegrityDigest);
  char hex[ZV_HEX_DIGEST_SIZE] = "";
  hex_digest(reinterpret_cast<const unsigned char *>(content.data()), content.size(), hex);
  f.expect(is_obj(m->ediIntegrityMessageId, "ZV_EDI_3"), "identifier");
  f.expect(int_of(c->ediIntegrityVersion) == 0, "version");
  f.expect(is_obj(c->ediIntegrityAlgorithmId, "SHA1"), "algorithm");
  f.expect(is_obj(c->ediInnerContent->ediMsgId, "ZV_EDI_1"), "inner-identifier");
  f.expect(digest == hex, "digest");
  f.expect(digest == std::string(t.rec.digest, strnlen(t.rec.digest, sizeof t.rec.digest)),
           "record-digest");
  f.expect(content == t.input, "content");
  f.note("sha1", digest);
  f.note("content", std::to_string(content.size()));
  f.finish("verified");
}

void check_signed_edi(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  Owned<ZV_EDI_MSGtype09, ZV_EDI_MSG_09_free> m(decode<ZV_EDI_MSGtype09>(t, d2i_ZV_EDI_MSG_signed, f));
  const ZV_EDI_MSGtype08 *s = m ? m->signedContent : nullptr;
  if (!s || s->innerContent == nullptr || sk_ZV_EDI_MSGtype07_num(s->signerInfoS) != 1 ||
      sk_ZV_EDI_MSGtype07A_num(s->signedDigestAlgorithmS) != 1) {
    r.verdict = "undecodable";
    return;
  }
  const ZV_EDI_MSGtype07 *si = sk_ZV_EDI_MSGtype07_value(s->signerInfoS, 0);
  std::string content = str_of(s->innerContent->ediContent);
  std::string sig = str_of(si->encryptedDigest);
  X509 *cert = t.rec.pLocalCert;
  f.expect(is_obj(m->signedEDImessage, "ZV_EDI_2"), "identifier");
  f.expect(int_of(s->signedVersion) == 0 && int_of(si->signerVersion) == 0, "version");
  f.expect(is_obj(sk_ZV_EDI_MSGtype07A_value(s->signedDigestAlgorithmS, 0)->algorithmIdentifier,
                  "SHA1"),
           "digest-algorithms");
  f.expect(is_obj(si->signedDigestAlgorithm, "SHA1"), "signer-digest-algorithm");
  f.expect(is_obj(si->digestEncryptionAlgorithm, "rsaEncryption"), "encryption-algorithm");
  f.expect(content == t.input, "content");
  if (cert == nullptr) {
    f.expect(false, "no-certificate");
  } else {
    EVP_PKEY *pub = X509_get0_pubkey(cert);
    f.expect(pub != nullptr &&
                 hex_RSAverify(pub, reinterpret_cast<unsigned char *>(content.data()),
                               content.size(),
                               reinterpret_cast<unsigned char *>(sig.data()),
                               static_cast<unsigned>(sig.size())) == 1,
             "signature");
    const ZV_EDI_MSGtype06 *is = si->issuerAndSerialNumber;
    const ZV_EDI_MSGtype04 *c =
        is && sk_ZV_EDI_MSGtype04_num(is->issuerCountryS->countryEntries) == 1
            ? sk_ZV_EDI_MSGtype04_value(is->issuerCountryS->countryEntries, 0)
            : nullptr;
    const ZV_EDI_MSGtype05 *o =
        is && sk_ZV_EDI_MSGtype05_num(is->issuerOrgS->orgEntries) == 1
            ? sk_ZV_EDI_MSGtype05_value(is->issuerOrgS->orgEntries, 0)
            : nullptr;
    std::string country = c ? str_of(c->countryValue) : "?";
    std::string org = o ? str_of(o->organizationValue) : "?";
    f.expect(c && is_obj(c->country, "countryName") && country == issuer_text(cert, NID_countryName),
             "issuer-country");
    f.expect(o && is_obj(o->organizationName, "organizationName") &&
                 org == issuer_text(cert, NID_organizationName),
             "issuer-organization");
    f.expect(is && ASN1_INTEGER_cmp(is->serialNumber, X509_get0_serialNumber(cert)) == 0,
             "serial");
    f.note("issuerC", country);
    f.note("issuerO", org);
    f.note("serial", is ? serial_hex(is->serialNumber) : "?");
  }
  std::vector<char> hex(2 * sig.size() + 1);
  hexify_string(reinterpret_cast<const unsigned char *>(sig.data()), sig.size(), hex.data());
  f.expect(std::string(hex.data()) == std::string(t.rec.digest, strnlen(t.rec.digest, sizeof t.rec.digest)),
           "record-digest");
  f.note("signature", std::to_string(sig.size()));
  f.note("content", std::to_string(content.size()));
  f.finish("verified");
}

// The request's ISA segment is what travelled as the input (the builder ended it there).
void check_receipt_segment(const Txn &t, const std::string &isa, const std::string &stamp,
                           Findings &f) {
  f.expect(isa.size() == 105 && t.input.compare(0, 105, isa) == 0, "isa-segment");
  f.expect(stamp.size() == 15, "stamp");
  f.note("stamp", stamp);
}

void check_basic_receipt(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  Owned<ZvReceiptMessage, ZvReceiptMessage_free> m(decode<ZvReceiptMessage>(t, d2i_ZvReceiptMessage, f));
  if (!m || m->receiptContent == nullptr) {
    r.verdict = "undecodable";
    return;
  }
  f.expect(is_obj(m->zvReceiptMessage, "ZV_R_1"), "identifier");
  check_receipt_segment(t, str_of(m->receiptContent->isaSegment),
                        str_of(m->receiptContent->dateTimeStamp), f);
  f.expect(m->receiptContent->enhancements == nullptr ||
               m->receiptContent->enhancements->tag == -1,
           "enhancement");
  f.finish("consistent");
}

void check_enhanced_receipt(const Txn &t, zvp_check_result &r, int selector) {
  Findings f(r);
  Owned<ZV_RECEIPT_MSGtype04, ZV_RECEIPT_MSG_04_free> m(
      decode<ZV_RECEIPT_MSGtype04>(t, d2i_ZV_RECEIPT_MSG_basic, f));
  const ZV_RECEIPT_MSGtype03 *c = m ? m->receiptContent : nullptr;
  if (!c || c->Enhancements == nullptr) {
    r.verdict = "undecodable";
    return;
  }
  f.expect(is_obj(m->zvReceiptMessage, "ZV_R_1"), "identifier");
  check_receipt_segment(t, str_of(c->isaSegment), str_of(c->dateTimeStamp), f);
  const ZV_RECEIPT_ENHANCEMENTS *e = c->Enhancements;
  f.expect(e->tag == selector, "enhancement");
  if (e->tag == ZV_ENHANCEMENT_DIGEST && e->d.WithDigest) {
    f.expect(is_obj(e->d.WithDigest->receiptDigestAlgorithm, "SHA1"), "algorithm");
    f.note("digest", str_of(e->d.WithDigest->receiptMessageDigest));
  } else if (e->tag == ZV_ENHANCEMENT_SIGNATURE && e->d.WithDigSig) {
    f.expect(is_obj(e->d.WithDigSig->receiptSignitureAlgorithm, "rsaEncryption"), "algorithm");
    f.note("signature", std::to_string(str_of(e->d.WithDigSig->receiptDigitalSigniture).size()));
  }
  f.finish("consistent");
}

void check_integrity_receipt(const Txn &t, zvp_check_result &r) {
  check_enhanced_receipt(t, r, ZV_ENHANCEMENT_DIGEST);
}
void check_signed_receipt(const Txn &t, zvp_check_result &r) {
  check_enhanced_receipt(t, r, ZV_ENHANCEMENT_SIGNATURE);
}

// The pattern a status keyword asks for: a leading keyword names a row of the table
// (the PING rows for version 3 only), anything else is carried as it is.
std::string expected_status(const std::string &keyword, int version) {
  static const struct {
    const char *word;
    int code;
  } words[] = {{"TEST", ZV_STATUS_TEST},
               {"STOP_WAN", ZV_STATUS_STOP_WAN},
               {"STOP_OSS", ZV_STATUS_STOP_OSS},
               {"RESTART", ZV_STATUS_RESTART},
               {"PING_REQUEST", ZV_STATUS_PING_REQUEST},
               {"PING_RESPONSE", ZV_STATUS_PING_RESPONSE}};
  for (const auto &w : words) {
    if (version < 3 && w.code > ZV_STATUS_RESTART) break;
    if (keyword.compare(0, strlen(w.word), w.word) == 0) return zv_status_code[w.code];
  }
  return keyword;
}

void check_status(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  Owned<ZV_STATUS_MSGtype, ZV_STATUS_MSG_free> m(decode<ZV_STATUS_MSGtype>(t, d2i_ZV_STATUS_MSG, f));
  if (!m || m->zvStatus == nullptr) {
    r.verdict = "undecodable";
    return;
  }
  std::string bits = str_of(m->zvStatus);
  f.expect(is_obj(m->zvStatusMessage, "ZV_S_1"), "identifier");
  f.expect(bits == expected_status(t.input, 2), "status");
  f.note("status", bits);
  f.finish("consistent");
}

// ---- version 3 (Issue 3 records) ------------------------------------------------------

// The v3_ZvMessage of the envelope when it selects `selector`; the verdict is set when
// it does not.
Owned<v3_ZvMessage, v3_ZvMessage_free> v3_message(const Txn &t, zvp_check_result &r,
                                                  Findings &f, int selector) {
  Owned<v3_ZvMessage, v3_ZvMessage_free> m(decode<v3_ZvMessage>(t, d2i_v3_ZvMessage, f));
  if (!m || m->d.ptr == nullptr) {
    r.verdict = "undecodable";
    return nullptr;
  }
  f.expect(m->tag == selector, "selector-" + std::to_string(m->tag));
  return m;
}

template <int Selector>
void check_v3_text(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  auto m = v3_message(t, r, f, Selector);
  if (!m) return;
  std::string content = str_of(static_cast<const ASN1_STRING *>(m->d.ptr));
  f.expect(content == t.input, "content");
  f.note("content", std::to_string(content.size()));
  f.finish("consistent");
}

void check_v3_basic_receipt(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  auto m = v3_message(t, r, f, V3_ZVMESSAGE_ENHANCED_MESSAGE);
  if (!m) return;
  // The OCTET STRING holds a complete v3_SecureMessage of its own.
  std::string inner = str_of(m->d.enhancedMessage);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(inner.data());
  Owned<v3_SecureMessage, v3_SecureMessage_free> s(
      d2i_v3_SecureMessage(nullptr, &p, static_cast<long>(inner.size())));
  const v3_ZvReceiptMessage *rm =
      s && s->tag == V3_SECUREMESSAGE_MESSAGE_RECEIPT ? s->d.messageReceipt : nullptr;
  if (rm == nullptr || rm->uniqueIdentifier == nullptr) {
    f.note("bad", "inner-message");
    r.verdict = "undecodable";
    return;
  }
  f.expect(p == reinterpret_cast<const unsigned char *>(inner.data()) + inner.size(),
           "inner-trailing-octets");
  f.expect(rm->uniqueIdentifier->tag == V3_UNIQUEIDENTIFIER_ISA_SEGMENT, "unique-identifier");
  check_receipt_segment(t, str_of(rm->uniqueIdentifier->d.isaSegment), str_of(rm->dateTimeStamp),
                        f);
  f.expect(rm->enhancements == nullptr, "enhancement");
  f.finish("consistent");
}

void check_v3_status(const Txn &t, zvp_check_result &r) {
  Findings f(r);
  auto m = v3_message(t, r, f, V3_ZVMESSAGE_ZV_STATUS_MESSAGE);
  if (!m) return;
  std::string bits = str_of(m->d.zvStatusMessage);
  f.expect(bits == expected_status(t.input, 3), "status");
  f.note("status", bits);
  f.finish("consistent");
}

struct Kind {
  int version;
  int msg_type;
  const char *name;
  void (*check)(const Txn &, zvp_check_result &);
};

constexpr Kind kKinds[] = {
    {2, ZV_MT_BASIC_EDI, "basic-edi", check_basic_edi},
    {2, ZV_MT_INTEGRITY_EDI, "integrity-edi", check_integrity_edi},
    {2, ZV_MT_SIGNED_EDI, "signed-edi", check_signed_edi},
    {2, ZV_MT_BASIC_RECEIPT, "basic-receipt", check_basic_receipt},
    {2, ZV_MT_INTEGRITY_RECEIPT, "integrity-receipt", check_integrity_receipt},
    {2, ZV_MT_SIGNED_RECEIPT, "signed-receipt", check_signed_receipt},
    {2, ZV_MT_STATUS, "status", check_status},
    // Issue 3: the signed EDI envelope and the signed receipt are those of version 2.
    {3, ZV_MT_BASIC_EDI, "basic-edi", check_v3_text<V3_ZVMESSAGE_BASIC_MESSAGE2>},
    {3, ZV_MT_SIGNED_EDI, "signed-edi", check_signed_edi},
    {3, ZV_MT_BASIC_RECEIPT, "basic-receipt", check_v3_basic_receipt},
    {3, ZV_MT_SIGNED_RECEIPT, "signed-receipt", check_signed_receipt},
    {3, ZV_MT_STATUS, "status", check_v3_status},
};

}  // namespace

zvp_check_result zvp_check_transaction(const Trans_ctl_rec &rec) {
  zvp_check_result r;
  Txn t{rec, reinterpret_cast<const unsigned char *>(rec.obufferp),
        rec.obufferp ? rec.omsg_length : 0, ""};
  if (rec.ibufferp && rec.imsg_length > 0)
    t.input.assign(rec.ibufferp, strnlen(rec.ibufferp, static_cast<size_t>(rec.imsg_length)));
  if (t.env_len <= 0) {
    r.kind = "msgtype-" + std::to_string(rec.msg_type);
    r.verdict = "undecodable";
    r.detail = "no-envelope";
    return r;
  }
  // A client in raw mode sends the input itself in place of an envelope.
  if (static_cast<size_t>(t.env_len) == t.input.size() &&
      memcmp(t.env, t.input.data(), t.input.size()) == 0) {
    r.kind = "raw";
    r.verdict = "consistent";
    r.detail = "content=" + std::to_string(t.env_len);
    return r;
  }
  for (const Kind &k : kKinds) {
    if (k.version != rec.zvp_version || k.msg_type != rec.msg_type) continue;
    r.kind = k.name;
    k.check(t, r);
    return r;
  }
  r.kind = "msgtype-" + std::to_string(rec.msg_type);
  r.verdict = "unchecked";
  return r;
}

std::string zvp_report_line(int seq, const Trans_ctl_rec &rec, const zvp_check_result &r,
                            const std::string &saved) {
  std::string partner_id = "-";
  if (rec.tp_index >= 0 && rec.tp_index < ZV_MAX_TP && partner[rec.tp_index].isaid[0] != '\0')
    partner_id = partner[rec.tp_index].isaid;
  std::string dest = std::string(rec.dest_ip ? rec.dest_ip : "") + ":" + std::to_string(rec.dest_port);
  std::string fields[] = {std::to_string(seq),
                          std::to_string(rec.zvp_version),
                          r.kind,
                          std::to_string(rec.msg_type),
                          partner_id,
                          std::to_string(rec.iPriority),
                          dest,
                          std::to_string(rec.imsg_length),
                          std::to_string(rec.omsg_length),
                          std::to_string(rec.digest_length),
                          r.verdict,
                          r.detail.empty() ? "-" : r.detail,
                          saved.empty() ? "-" : saved};
  std::string line;
  for (std::string &f : fields) {
    // A field never breaks the line's layout, whatever text the transaction carried.
    for (char &c : f)
      if (c == '|' || c == '\n' || c == '\r') c = '_';
    if (!line.empty()) line += '|';
    line += f;
  }
  return line;
}
