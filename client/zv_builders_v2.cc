// The version-2 envelopes built with the system's own codec: integrity and signed EDI,
// the integrity and signed receipts, and the status message.
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/zv_builders_shared.h"
#include "client/zv_client_util.h"
#include "client/zv_encode.h"
#include "client/zv_message.h"
#include "codec/zv_asn1.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_status_code.h"

using zv_client::encode_envelope;
using zv_client::LentString;
using zv_client::Owned;
using zv_client::set_obj;

namespace {

using Integrity = Owned<ZV_EDI_MSGtype03, ZV_EDI_MSG_03_free>;
using Signed = Owned<ZV_EDI_MSGtype09, ZV_EDI_MSG_09_free>;
using Receipt = Owned<ZV_RECEIPT_MSGtype04, ZV_RECEIPT_MSG_04_free>;
using Status = Owned<ZV_STATUS_MSGtype, ZV_STATUS_MSG_free>;

bool named(ASN1_OBJECT **slot, const char *name) {
  if (set_obj(slot, name)) return true;
  zv_log(-1, "ERROR: object identifier %s is not registered - cannot build ASN1 message\n",
         name);
  return false;
}

int text_len(const char *p) { return static_cast<int>(strlen(p)); }

// One text of the certificate's issuer name ("" when there is none). An issuer without
// it is no fault of the document: the local identity's load has said so once. A text
// that is there but cannot be had is logged with the builder's own wording; either way
// it is left empty.
std::string issuer_text(X509 *cert, int nid, const char *malloc_msg, const char *parse_msg) {
  X509_NAME *issuer = cert ? X509_get_issuer_name(cert) : nullptr;
  int len = issuer ? X509_NAME_get_text_by_NID(issuer, nid, nullptr, 0) : -1;
  if (len < 0) return "";
  std::vector<char> buf;
  try {
    buf.resize(static_cast<size_t>(len) + 1);
  } catch (...) {
    zv_log(-1, "%s", malloc_msg);
    return "";
  }
  int got = X509_NAME_get_text_by_NID(issuer, nid, buf.data(), len + 1);
  if (got != len) {
    zv_log(-1, "%s", parse_msg);
    return "";
  }
  return std::string(buf.data(), static_cast<size_t>(len));
}

bool set_text(ASN1_STRING *s, const std::string &v) {
  return ASN1_STRING_set(s, v.data(), static_cast<int>(v.size())) == 1;
}

// Receipt requests shorter than their fixed part would make the builders read past
// the request.
bool receipt_long_enough(const char *ibufp, int needed) {
  int len = text_len(ibufp);
  if (len >= needed) return true;
  zv_log(-1,
         "ERROR: receipt input message of %d characters is shorter than %d - skipping "
         "message\n",
         len, needed);
  return false;
}

}  // namespace

int AsciiEDI_2_EDIwMI(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size) {
  if (tctlp == nullptr || ibufp == nullptr) {
    zv_client::soft_assert("zv_message", __LINE__);
    return -1;
  }
  int len = text_len(ibufp);
  char hex[ZV_HEX_DIGEST_SIZE];
  if (hex_digest(reinterpret_cast<const unsigned char *>(ibufp), static_cast<unsigned long>(len),
                 hex) == nullptr) {
    zv_log(-1, "ERROR: cannot compute the digest of the input message - skipping message\n");
    return -1;
  }
  Integrity m(ZV_EDI_MSG_03_new());
  if (!m) return -1;
  ZV_EDI_MSGtype02 *c = m->ediIntegrityContent;
  if (!named(&m->ediIntegrityMessageId, "ZV_EDI_3") ||
      !named(&c->ediIntegrityAlgorithmId, "SHA1") ||
      !named(&c->ediInnerContent->ediMsgId, "ZV_EDI_1") ||
      ASN1_INTEGER_set(c->ediIntegrityVersion, 0) != 1)
    return -1;
  LentString content(&c->ediInnerContent->ediContent, ibufp, len, V_ASN1_OCTET_STRING);
  LentString digest(&c->ediIntegrityDigest, hex, ZV_HEX_DIGEST_SIZE - 1, V_ASN1_OCTET_STRING);
  int n = encode_envelope(i2d_ZV_EDI_MSG_integrity, m.get(), obufp, obuf_size,
                          "integrity EDI envelope",
                          "AE2EMI:i2d_ZV_EDI_MSG_integrity() returned a %d\n");
  if (n < 0) return -1;
  memcpy(tctlp->digest, hex, ZV_HEX_DIGEST_SIZE);
  tctlp->digest_length = ZV_HEX_DIGEST_SIZE - 1;
  return n;
}

int zv_client::signed_edi_envelope(const char *builder, Trans_ctl_rec *tctlp,
                                   const char *ibufp, char *obufp, int obuf_size,
                                   EVP_PKEY *pRsa) {
  if (tctlp == nullptr || ibufp == nullptr) {
    zv_client::soft_assert("zv_message", __LINE__);
    return -1;
  }
  X509 *cert = tctlp->pLocalCert;
  if (debug_level & 128) {
    zv_log(1, "%s: Using Local X.509 Cert\n", builder);
    zv_log(128, "== Local X.509 Cert =======================\n");
    if (cert) dump_X509(cert);
    zv_log(128, "== END of Local X.509 Cert ================\n");
  }

  Signed m(ZV_EDI_MSG_09_new());
  if (!m) return -1;
  ZV_EDI_MSGtype08 *s = m->signedContent;
  if (!named(&m->signedEDImessage, "ZV_EDI_2") || ASN1_INTEGER_set(s->signedVersion, 0) != 1 ||
      !named(&s->innerContent->ediMsgId, "ZV_EDI_1"))
    return -1;

  ZV_EDI_MSGtype07A *alg = ZV_EDI_MSG_07A_new();
  if (alg == nullptr) return -1;
  if (sk_ZV_EDI_MSGtype07A_push(s->signedDigestAlgorithmS, alg) <= 0) {
    ZV_EDI_MSG_07A_free(alg);
    return -1;
  }
  ZV_EDI_MSGtype07 *signer = ZV_EDI_MSG_07_new();
  if (signer == nullptr) return -1;
  if (sk_ZV_EDI_MSGtype07_push(s->signerInfoS, signer) <= 0) {
    ZV_EDI_MSG_07_free(signer);
    return -1;
  }
  ZV_EDI_MSGtype06 *issuer = signer->issuerAndSerialNumber;
  ZV_EDI_MSGtype04 *country = ZV_EDI_MSG_04_new();
  if (country == nullptr) return -1;
  if (sk_ZV_EDI_MSGtype04_push(issuer->issuerCountryS->countryEntries, country) <= 0) {
    ZV_EDI_MSG_04_free(country);
    return -1;
  }
  ZV_EDI_MSGtype05 *org = ZV_EDI_MSG_05_new();
  if (org == nullptr) return -1;
  if (sk_ZV_EDI_MSGtype05_push(issuer->issuerOrgS->orgEntries, org) <= 0) {
    ZV_EDI_MSG_05_free(org);
    return -1;
  }
  if (!named(&alg->algorithmIdentifier, "SHA1") || ASN1_INTEGER_set(signer->signerVersion, 0) != 1 ||
      !named(&country->country, "countryName") ||
      !named(&org->organizationName, "organizationName") ||
      !named(&signer->signedDigestAlgorithm, "SHA1") ||
      !named(&signer->digestEncryptionAlgorithm, "rsaEncryption"))
    return -1;

  std::string c_text = issuer_text(
      cert, NID_countryName,
      "ERROR: cannot malloc space for issuerCountry - skipping field in ASN1 message\n",
      "ERROR: cannot parse issuerCountry field - skipping field in ASN1 message\n");
  std::string o_text = issuer_text(
      cert, NID_organizationName,
      "ERROR: cannot malloc space for issuerOrganization - skipping field in ASN1 message\n",
      "ERROR: cannot parse issuerOrganization field - skipping field in ASN1 message\n");
  if (!set_text(country->countryValue, c_text) || !set_text(org->organizationValue, o_text))
    return -1;
  if (cert != nullptr) {
    ASN1_INTEGER *serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
    if (serial == nullptr) return -1;
    ASN1_INTEGER_free(issuer->serialNumber);
    issuer->serialNumber = serial;
  }

  if (debug_level & 64) {
    zv_log(1, "%s: Using RSA Private Key\n", builder);
    zv_log(64, "== Own RSA Private Key ====================\n");
    if (pRsa) dump_RSA(pRsa, 6);
    zv_log(64, "== END of Own RSA Private Key =============\n");
  }

  // A signed envelope without its signature would be rejected by every partner, so a
  // signature that cannot be made refuses the document instead.
  int len = text_len(ibufp);
  std::vector<char> sig(pRsa ? static_cast<size_t>(EVP_PKEY_get_size(pRsa)) : 0);
  unsigned long sig_len = 0;
  if (pRsa == nullptr || sig.empty() ||
      hex_RSAsign(pRsa, reinterpret_cast<unsigned char *>(const_cast<char *>(ibufp)),
                  static_cast<unsigned long>(len), &sig_len, sig.data()) == nullptr) {
    zv_log(-1, "ERROR: cannot load ASN1 encryptedDigest field - cannot sign, skipping message\n");
    return -1;
  }
  if (2 * sig_len + 1 > sizeof tctlp->digest) {
    zv_log(-1, "ERROR: signature of %lu bytes is too long for the digest field - skipping message\n",
           sig_len);
    return -1;
  }
  if (ASN1_STRING_set(signer->encryptedDigest, sig.data(), static_cast<int>(sig_len)) != 1)
    return -1;

  LentString content(&s->innerContent->ediContent, ibufp, len, V_ASN1_OCTET_STRING);
  int n = encode_envelope(i2d_ZV_EDI_MSG_signed, m.get(), obufp, obuf_size,
                          "signed EDI envelope",
                          "AE2ENR:i2d_ZV_EDI_MSG_signed() returned a %d\n");
  if (n < 0) return -1;
  tctlp->digest_length = static_cast<int>(
      hexify_string(reinterpret_cast<const unsigned char *>(sig.data()), sig_len, tctlp->digest));
  return n;
}

int AsciiEDI_2_EDIwNR(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size,
                      EVP_PKEY *pRsa) {
  return zv_client::signed_edi_envelope("AsciiEDI_2_EDIwNR", tctlp, ibufp, obufp, obuf_size,
                                        pRsa);
}

namespace {

// The receipt with its ISA segment and stamp lent from the request (characters 0-104
// and 106-120) and the enhancement that `fill` selects from the text at 124 on. The
// request is left as it is, so that a refused one is kept as it came.
template <typename Fill>
int receipt_with(const char *ibufp, char *obufp, int obuf_size, const char *what,
                 const char *done, Fill fill) {
  if (ibufp == nullptr) {
    zv_client::soft_assert("zv_message", __LINE__);
    return -1;
  }
  if (!receipt_long_enough(ibufp, ZV_RR_DIGEST_OFFSET)) return -1;
  Receipt r(ZV_RECEIPT_MSG_04_new());
  if (!r || !named(&r->zvReceiptMessage, "ZV_R_1")) return -1;
  ZV_RECEIPT_MSGtype03 *c = r->receiptContent;
  if (!fill(c->Enhancements, ibufp + ZV_RR_DIGEST_OFFSET)) return -1;
  LentString isa(&c->isaSegment, ibufp, ZV_RR_ISA_LENGTH, V_ASN1_OCTET_STRING);
  LentString stamp(&c->dateTimeStamp, ibufp + ZV_RR_STAMP_OFFSET, ZV_RR_STAMP_LENGTH,
                   V_ASN1_PRINTABLESTRING);
  return encode_envelope(i2d_ZV_RECEIPT_MSG_basic, r.get(), obufp, obuf_size, what, done);
}

}  // namespace

int AsciiEDI_2_Receipt_MI(const char *ibufp, char *obufp, int obuf_size) {
  return receipt_with(
      ibufp, obufp, obuf_size, "integrity receipt envelope",
      "AE2RMI:i2d_ZV_RECEIPT_MSG_basic() returned a %d\n",
      [](ZV_RECEIPT_ENHANCEMENTS *e, const char *hex) {
        ZV_RECEIPT_MSGtype01 *d = ZV_RECEIPT_MSG_01_new();
        if (d == nullptr) return false;
        e->tag = ZV_ENHANCEMENT_DIGEST;
        e->d.WithDigest = d;
        return named(&d->receiptDigestAlgorithm, "SHA1") &&
               ASN1_STRING_set(d->receiptMessageDigest, hex, text_len(hex)) == 1;
      });
}

int AsciiEDI_2_Receipt_NR(const char *ibufp, char *obufp, int obuf_size) {
  return receipt_with(
      ibufp, obufp, obuf_size, "signed receipt envelope",
      "AE2RNR:i2d_ZV_RECEIPT_MSG_basic() returned a %d\n",
      [](ZV_RECEIPT_ENHANCEMENTS *e, const char *hex) {
        ZV_RECEIPT_MSGtype02 *d = ZV_RECEIPT_MSG_02_new();
        if (d == nullptr) return false;
        e->tag = ZV_ENHANCEMENT_SIGNATURE;
        e->d.WithDigSig = d;
        unsigned long hex_len = strlen(hex);
        std::vector<unsigned char> sig((hex_len + 1) / 2 + 1);
        unsigned long n = dehexify_string(hex, hex_len, sig.data());
        return named(&d->receiptSignitureAlgorithm, "rsaEncryption") &&
               ASN1_STRING_set(d->receiptDigitalSigniture, sig.data(), static_cast<int>(n)) == 1;
      });
}

int Generate_ZV_Status(int flag, const char *ibufp, char *obufp, int obuf_size) {
  const char *bits;
  int len;
  if (flag >= ZV_STATUS_TEST && flag <= ZV_STATUS_RESTART) {
    bits = zv_status_code[flag];
    len = ZV_STATUS_PATTERN_LENGTH;
  } else {
    if (ibufp == nullptr) {
      zv_client::soft_assert("zv_message", __LINE__);
      return -1;
    }
    bits = ibufp;
    len = text_len(ibufp);
  }
  Status m(ZV_STATUS_MSG_new());
  if (!m || !named(&m->zvStatusMessage, "ZV_S_1")) return -1;
  LentString status(&m->zvStatus, bits, len, V_ASN1_BIT_STRING);
  return encode_envelope(i2d_ZV_STATUS_MSG, m.get(), obufp, obuf_size, "status envelope",
                         "GZVS:i2d_ZV_STATUS_MSG() returned a %d\n");
}
