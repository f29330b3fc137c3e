// The version-3 envelopes: the basic EDI, text, XML and status messages and the nested
// basic receipt over the TCIF-98-006 Issue 3 records, and the signed EDI envelope and
// signed receipt, which are the version-2 ones.
#include <cstring>

#include "client/zv_builders_shared.h"
#include "client/zv_client_util.h"
#include "client/zv_encode.h"
#include "client/zv_message.h"
#include "runtime/zv_log.h"
#include "runtime/zv_status_code.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif98-006v3b.h"

using zv_client::DumpRule;
using zv_client::encode_envelope;
using zv_client::kDumpAlways;
using zv_client::kDumpNever;
using zv_client::kDumpOnBit32;
using zv_client::LentString;
using zv_client::Owned;

namespace {

using ZvMessage = Owned<v3_ZvMessage, v3_ZvMessage_free>;
using SecureMessage = Owned<v3_SecureMessage, v3_SecureMessage_free>;

constexpr const char *kSource = "zv_message_v3";

// Scratch room for the inner v3_SecureMessage of a basic receipt (128 octets for the
// fixed segment and stamp).
constexpr int kReceiptScratchSize = 8096;

int text_len(const char *p) { return static_cast<int>(strlen(p)); }

// The string field of the alternative `selector` (every alternative is a string).
ASN1_STRING **alternative(v3_ZvMessage *m, int selector) {
  switch (selector) {
    case V3_ZVMESSAGE_BASIC_MESSAGE2:
      return &m->d.basicMessage2;
    case V3_ZVMESSAGE_BASIC_MESSAGE3:
      return &m->d.basicMessage3;
    case V3_ZVMESSAGE_BASIC_MESSAGE4:
      return &m->d.basicMessage4;
    case V3_ZVMESSAGE_ZV_STATUS_MESSAGE:
      return &m->d.zvStatusMessage;
    default:
      return &m->d.enhancedMessage;
  }
}

// A v3_ZvMessage whose alternative `selector` shows `len` octets at `data`, encoded into
// the output buffer.
int zv_message(int selector, const void *data, int len, int type, char *obufp, int obuf_size,
               const char *what, const char *done, DumpRule dump) {
  ZvMessage m(v3_ZvMessage_new());
  if (!m) return -1;
  m->tag = selector;
  LentString content(alternative(m.get(), selector), data, len, type);
  return encode_envelope(i2d_v3_ZvMessage, m.get(), obufp, obuf_size, what, done, dump);
}

int ia5_message(int selector, const char *ibufp, char *obufp, int obuf_size, const char *what,
                const char *done, DumpRule dump) {
  if (ibufp == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  return zv_message(selector, ibufp, text_len(ibufp), V_ASN1_IA5STRING, obufp, obuf_size, what,
                    done, dump);
}

}  // namespace

int AsciiEDI_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size) {
  return ia5_message(V3_ZVMESSAGE_BASIC_MESSAGE2, ibufp, obufp, obuf_size,
                     "basic EDI envelope", "AE2BEv3:i2d_v3_ZvMessage() returned a %d\n",
                     kDumpOnBit32);
}

int AsciiTXT_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size) {
  return ia5_message(V3_ZVMESSAGE_BASIC_MESSAGE3, ibufp, obufp, obuf_size,
                     "basic text envelope", "AT2BEv3:i2d_v3_ZvMessage() returned a %d\n",
                     kDumpAlways);
}

int AsciiXML_2_BasicEDI_v3(const char *ibufp, char *obufp, int obuf_size) {
  return ia5_message(V3_ZVMESSAGE_BASIC_MESSAGE4, ibufp, obufp, obuf_size,
                     "basic XML envelope", "AX2BEv3:i2d_v3_ZvMessage() returned a %d\n",
                     kDumpAlways);
}

int AsciiEDI_2_EDIwNR_v3(Trans_ctl_rec *tctlp, const char *ibufp, char *obufp, int obuf_size,
                         EVP_PKEY *pRsa) {
  return zv_client::signed_edi_envelope("AsciiEDI_2_EDIwNR_v3", tctlp, ibufp, obufp, obuf_size,
                                        pRsa);
}

int AsciiEDI_2_Receipt_NR_v3(const char *ibufp, char *obufp, int obuf_size) {
  return AsciiEDI_2_Receipt_NR(ibufp, obufp, obuf_size);
}

int AsciiEDI_2_BasicReceipt_v3(const char *ibufp, char *obufp, int obuf_size) {
  if (ibufp == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  int len = text_len(ibufp);
  constexpr int kNeeded = ZV_RR_STAMP_OFFSET + ZV_RR_STAMP_LENGTH;
  if (len < kNeeded) {
    zv_log(-1,
           "ERROR: receipt input message of %d characters is shorter than %d - skipping "
           "message\n",
           len, kNeeded);
    return -1;
  }
  char isa[ZV_RR_ISA_LENGTH + 1];
  char stamp[ZV_RR_STAMP_LENGTH + 1];
  memcpy(isa, ibufp, ZV_RR_ISA_LENGTH);
  isa[ZV_RR_ISA_LENGTH] = '\0';
  memcpy(stamp, ibufp + ZV_RR_STAMP_OFFSET, ZV_RR_STAMP_LENGTH);
  stamp[ZV_RR_STAMP_LENGTH] = '\0';

  unsigned char inner[kReceiptScratchSize];
  int inner_len;
  {
    SecureMessage s(v3_SecureMessage_new());
    v3_ZvReceiptMessage *r = v3_ZvReceiptMessage_new();
    if (!s || r == nullptr) {
      v3_ZvReceiptMessage_free(r);
      return -1;
    }
    s->tag = V3_SECUREMESSAGE_MESSAGE_RECEIPT;
    s->d.messageReceipt = r;
    v3_WithDigSig_free(r->enhancements);
    r->enhancements = nullptr;
    r->uniqueIdentifier->tag = V3_UNIQUEIDENTIFIER_ISA_SEGMENT;
    LentString segment(&r->uniqueIdentifier->d.isaSegment, isa, ZV_RR_ISA_LENGTH,
                       V_ASN1_OCTET_STRING);
    LentString when(&r->dateTimeStamp, stamp, ZV_RR_STAMP_LENGTH, V_ASN1_PRINTABLESTRING);
    inner_len = encode_envelope(i2d_v3_SecureMessage, s.get(), reinterpret_cast<char *>(inner),
                                kReceiptScratchSize, "basic receipt message",
                                "AE2BRv3:i2d_v3_SecureMessage() returned a %d\n", kDumpNever);
  }
  if (inner_len < 0) return -1;
  return zv_message(V3_ZVMESSAGE_ENHANCED_MESSAGE, inner, inner_len, V_ASN1_OCTET_STRING, obufp,
                    obuf_size, "basic receipt envelope",
                    "AE2BRv3:i2d_v3_ZvMessage() returned a %d\n", kDumpAlways);
}

int Generate_ZV_StatusV3(int flag, const char *ibufp, char *obufp, int obuf_size) {
  const char *bits;
  int len;
  if (flag >= 0 && flag < ZV_STATUS_CODES) {
    bits = zv_status_code[flag];
    len = ZV_STATUS_PATTERN_LENGTH;
  } else {
    if (ibufp == nullptr) {
      zv_client::soft_assert(kSource, __LINE__);
      return -1;
    }
    bits = ibufp;
    len = text_len(ibufp);
  }
  return zv_message(V3_ZVMESSAGE_ZV_STATUS_MESSAGE, bits, len, V_ASN1_BIT_STRING, obufp,
                    obuf_size, "status envelope", "GZVSv3:i2d_v3_ZvMessage() returned a %d\n",
                    kDumpAlways);
}
