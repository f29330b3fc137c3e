// The version-2 basic EDI envelope and basic receipt, built with the TCIF-98-006
// Issue 2 codec.
#include <cstring>

#include "client/zv_client_util.h"
#include "client/zv_encode.h"
#include "client/zv_message.h"
#include "runtime/zv_log.h"
#include "tcif/tcif98-006v2.h"

using zv_client::encode_envelope;
using zv_client::LentString;
using zv_client::Owned;

namespace {

using Plain = Owned<PlainEDImessage, PlainEDImessage_free>;
using Receipt = Owned<ZvReceiptMessage, ZvReceiptMessage_free>;

bool named(ASN1_OBJECT **slot, const char *name) {
  if (zv_client::set_obj(slot, name)) return true;
  zv_log(-1, "ERROR: object identifier %s is not registered - cannot build ASN1 message\n",
         name);
  return false;
}

}  // namespace

int AsciiEDI_2_BasicEDI(const char *ibufp, char *obufp, int obuf_size) {
  if (ibufp == nullptr) {
    zv_client::soft_assert("zv_message", __LINE__);
    return -1;
  }
  Plain m(PlainEDImessage_new());
  if (!m || !named(&m->plainEDImessage, "ZV_EDI_1")) return -1;
  LentString content(&m->ediContent, ibufp, static_cast<int>(strlen(ibufp)),
                     V_ASN1_OCTET_STRING);
  return encode_envelope(i2d_PlainEDImessage, m.get(), obufp, obuf_size, "basic EDI envelope",
                         "AE2BE:i2d_PlainEDImessage() returned a %d\n");
}

int AsciiEDI_2_BasicReceipt(const char *ibufp, char *obufp, int obuf_size) {
  if (ibufp == nullptr) {
    zv_client::soft_assert("zv_message", __LINE__);
    return -1;
  }
  int len = static_cast<int>(strlen(ibufp));
  constexpr int kNeeded = ZV_RR_STAMP_OFFSET + ZV_RR_STAMP_LENGTH;
  if (len < kNeeded) {
    zv_log(-1,
           "ERROR: receipt input message of %d characters is shorter than %d - skipping "
           "message\n",
           len, kNeeded);
    return -1;
  }
  Receipt r(ZvReceiptMessage_new());
  if (!r || !named(&r->zvReceiptMessage, "ZV_R_1")) return -1;
  ReceiptContent *c = r->receiptContent;
  LentString isa(&c->isaSegment, ibufp, ZV_RR_ISA_LENGTH, V_ASN1_OCTET_STRING);
  LentString stamp(&c->dateTimeStamp, ibufp + ZV_RR_STAMP_OFFSET, ZV_RR_STAMP_LENGTH,
                   V_ASN1_PRINTABLESTRING);
  return encode_envelope(i2d_ZvReceiptMessage, r.get(), obufp, obuf_size,
                         "basic receipt envelope",
                         "AE2BR:i2d_ZvReceiptMessage() returned a %d\n");
}
