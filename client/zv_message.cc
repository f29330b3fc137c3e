#include "client/zv_message.h"

#include <cstdio>
#include <cstring>

#include "client/zv_client_util.h"
#include "codec/zv_dump.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_status_code.h"
#include "runtime/zv_translog.h"

using zv_client::soft_assert;

namespace {

constexpr const char *kSource = "zv_message";
constexpr const char *kSourceV3 = "zv_message_v3";
// How much of an unsupported input its RAW line shows.
constexpr size_t kRawShown = 64;

// Length of the NUL-terminated text at `p`, never reading past `limit` bytes.
size_t text_length(const char *p, int limit) {
  return limit > 0 ? strnlen(p, static_cast<size_t>(limit)) : strlen(p);
}

// The 15-character id at `offset` of a text of `len` characters, cut where the text
// ends, in `out` (16 bytes).
void take_id(const char *text, size_t len, size_t offset, char out[ZV_ISA_ID_LENGTH + 1]) {
  size_t n = 0;
  if (offset < len) n = len - offset < ZV_ISA_ID_LENGTH ? len - offset : ZV_ISA_ID_LENGTH;
  if (n > 0) memcpy(out, text + offset, n);
  out[n] = '\0';
}

// An id that is empty or begins with a blank names no partner.
bool usable_id(const char *id) { return id[0] != '\0' && id[0] != ' '; }

// A refusal before the partner is known: the line names none.
int refuse(Trans_ctl_rec *t, int code) {
  t->obuf_length = 0;
  t->tp_index = -1;
  return zv_report_refusal(t, code);
}

// A refusal of a document whose partner is known: reported with that partner (a fatal
// code ends the process inside the report), the record then left naming none.
int refuse_for_partner(Trans_ctl_rec *t, int code) {
  t->obuf_length = 0;
  int rc = zv_report_refusal(t, code);
  t->tp_index = -1;
  return rc;
}

// The keyword of a status request: the text after the first ':' that follows "ZVS:",
// or nullptr when there is none. `len` is the text's length.
const char *status_keyword(const char *in, size_t len) {
  if (len <= 4) return nullptr;
  const char *colon = static_cast<const char *>(memchr(in + 4, ':', len - 4));
  return colon != nullptr ? colon + 1 : nullptr;
}

// The partner entry whose ISA id is exactly the id of a status request, the blanks
// around it removed; -1 when none is.
int status_partner(const char *id, size_t len) {
  while (len > 0 && *id == ' ') {
    ++id;
    --len;
  }
  while (len > 0 && id[len - 1] == ' ') --len;
  if (len == 0 || len >= sizeof partner[0].isaid) return -1;
  for (int i = 0; i < ZV_MAX_TP && partner[i].isaid[0] != '\0'; ++i)
    if (strlen(partner[i].isaid) == len && memcmp(partner[i].isaid, id, len) == 0) return i;
  return -1;
}

}  // namespace

int zv_report_refusal(Trans_ctl_rec *tctlp, int code) {
  return transaction_logging(tctlp, code) == 0 ? -1 : ZV_REFUSED_NOT_KEPT;
}

char *zv_request_part(const Trans_ctl_rec *tctlp, int *offset) {
  int skip = 0;
  if (tctlp != nullptr && tctlp->ibufferp != nullptr) {
    const char *in = tctlp->ibufferp;
    size_t len = text_length(in, tctlp->ibuf_length);
    if (len >= 3 && strncmp(in, "ZVS", 3) == 0) {
      const char *keyword = status_keyword(in, len);
      if (keyword != nullptr) skip = static_cast<int>(keyword - in);
    } else if (len >= ZV_RR_PREFIX && strncmp(in, "ZVR", 3) == 0) {
      skip = ZV_RR_PREFIX;
    }
  }
  if (offset != nullptr) *offset = skip;
  return tctlp != nullptr && tctlp->ibufferp != nullptr ? tctlp->ibufferp + skip : nullptr;
}

int findPartner(Trans_ctl_rec *tctlp) {
  if (tctlp == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  // A record may carry one document after another: a refusal below must not name the
  // kind or the interchange of the one before.
  tctlp->msg_type = 0;
  tctlp->isa_line[0] = '\0';
  if (tctlp->ibufferp == nullptr) {
    soft_assert(kSource, __LINE__);
    return refuse(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  }
  if (debug_level & 0x400) {
    zv_log(1, "++ RAW Input Data +++++++++++++++++++++++++\n");
    dump_raw_input(tctlp->ibufferp, tctlp->ibuf_length);
    zv_log(1, "++ End of RAW Input Data ++++++++++++++++++\n");
  }
  const char *in = tctlp->ibufferp;
  size_t len = text_length(in, tctlp->ibuf_length);
  char local_id[ZV_ISA_ID_LENGTH + 1] = "";
  char remote_id[ZV_ISA_ID_LENGTH + 1] = "";

  if (strncmp(in, "ISA", 3) == 0) {
    zv_log(-2, "found EDI X12 input message - supported\n");
    tctlp->msg_type = ZV_MT_BASIC_EDI;
  } else if (strncmp(in, "ZVS", 3) == 0) {
    zv_log(-2, "found ZV Status input message - supported\n");
    tctlp->msg_type = ZV_MT_STATUS;
    const char *keyword = status_keyword(in, len);
    if (keyword == nullptr) {
      zv_log(-1,
             "ERROR: Cannot find Trading Partner ID in ZV Status input message - skipping "
             "message\n");
      return refuse(tctlp, ZV_ERRM_TP_ID_MISSING_FROM_INPUT_ZV_STATUS_MSG);
    }
    size_t id_len = static_cast<size_t>(keyword - 1 - (in + 4));
    size_t keep = id_len < ZV_ISA_ID_LENGTH ? id_len : ZV_ISA_ID_LENGTH;
    memcpy(tctlp->isa_line, in + 4, keep);
    tctlp->isa_line[keep] = '\0';
    tctlp->tp_index = status_partner(in + 4, id_len);
    if (tctlp->tp_index < 0) {
      zv_log(-1,
             "WARNING: Unknown pair of ISA_IDs [%s/%s] found in input message - skipping "
             "message\n",
             tctlp->isa_line, "");
      tctlp->obuf_length = 0;
      return zv_report_refusal(tctlp, ZV_ERRM_UNKNOWN_ISAID_FOUND);
    }
    return 0;
  } else if (strncmp(in, "ZVR", 3) == 0) {
    zv_log(-2, "found ZV Receipt input message - supported\n");
    tctlp->msg_type = ZV_MT_BASIC_RECEIPT;
    if (len < ZV_RR_PREFIX || strncmp(in + ZV_RR_PREFIX, "ISA", 3) != 0) {
      zv_log(-1, "ERROR: Cannot find ISA segment in receipt input message - skipping message\n");
      return refuse(tctlp, ZV_ERRM_ISA_SEG_MISSING_FROM_INPUT_RECEIPT_MSG);
    }
    // The ids and the segment are the acknowledged interchange's, after the prefix.
    in += ZV_RR_PREFIX;
    len -= ZV_RR_PREFIX;
  } else {
    if (strncmp(in, "ASC", 3) == 0)
      zv_log(0, "found NonEDI input message - Not supported\n");
    else if (strncmp(in, "UNH", 3) == 0)
      zv_log(0, "found EDIFACT Batch input message - Not supported\n");
    else if (strncmp(in, "UIB", 3) == 0)
      zv_log(0, "found EDIFACT Interactive input message - Not supported\n");
    tctlp->obuf_length = 0;
    tctlp->tp_index = -1;
    // The peer's text goes through the log's escaping, and only its beginning: a body
    // may be anything, of any length.
    zv_log(-1, "RAW ibufferp = [%.*s] (%zu bytes)\n",
           static_cast<int>(len < kRawShown ? len : kRawShown), in, len);
    return zv_report_refusal(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  }

  // An interchange names the sender first; a receipt request acknowledges one that came
  // from the partner, so its receiver is the local id.
  bool receipt = tctlp->msg_type == ZV_MT_BASIC_RECEIPT;
  take_id(in, len, receipt ? ZV_ISA08_OFFSET : ZV_ISA06_OFFSET, local_id);
  take_id(in, len, receipt ? ZV_ISA06_OFFSET : ZV_ISA08_OFFSET, remote_id);
  zv_log(1, "found local ISA_ID of [%s] in message\n", local_id);
  zv_log(1, "found remote ISA_ID of [%s] in message\n", remote_id);
  size_t isa = len < ZV_ISA_SEGMENT_LENGTH ? len : ZV_ISA_SEGMENT_LENGTH;
  memcpy(tctlp->isa_line, in, isa);
  tctlp->isa_line[isa] = '\0';
  zv_log(1, "found ISA_LINE of [%-104.104s] in message\n", tctlp->isa_line);

  tctlp->tp_index =
      usable_id(local_id) && usable_id(remote_id) ? tpLookup(local_id, remote_id, 0) : -1;
  if (tctlp->tp_index == -1) {
    zv_log(-1,
           "WARNING: Unknown pair of ISA_IDs [%s/%s] found in input message - skipping "
           "message\n",
           local_id, remote_id);
    tctlp->obuf_length = 0;
    return zv_report_refusal(tctlp, ZV_ERRM_UNKNOWN_ISAID_FOUND);
  }
  return 0;
}

namespace {

// The checks both dispatchers begin with, under the source name of their assertions.
// 0, or the result of a record that cannot be built for (already reported).
int dispatch_ready(Trans_ctl_rec *t, EVP_PKEY *pRsa, const char *source) {
  if (t == nullptr) {
    soft_assert(source, __LINE__);
    return -1;
  }
  if (t->ibufferp == nullptr || t->obufferp == nullptr) {
    soft_assert(source, __LINE__);
    return refuse_for_partner(t, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE);
  }
  if (pRsa == nullptr) soft_assert(source, __LINE__);
  return 0;
}

// Raw mode: the part of the input an envelope would carry is sent itself. 0, or the
// refusal's result (reported).
int send_raw(Trans_ctl_rec *t) {
  zv_log(0, "WARNING: sending RAW data message to server\n");
  int offset = 0;
  const char *in = zv_request_part(t, &offset);
  size_t n = text_length(in, t->ibuf_length - offset);
  int cap = t->obuf_length;
  if (n > static_cast<size_t>(cap)) {
    zv_log(-1,
           "ERROR: RAW message of %zu bytes does not fit the output buffer of %d bytes - "
           "skipping message\n",
           n, cap);
    return refuse_for_partner(t, ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE);
  }
  memcpy(t->obufferp, in, n);
  t->obuf_length = static_cast<int>(n);
  // Its success line is written once it has been handed over (clientd).
  return 0;
}

const Tpartner_rec *partner_of(const Trans_ctl_rec *t) {
  return t->tp_index >= 0 && t->tp_index < ZV_MAX_TP ? &partner[t->tp_index] : nullptr;
}

// The status code a keyword names by its leading characters, among the first `codes`
// rows of zv_status_code; ZV_STATUS_KEYWORD_TEXT when it names none.
int status_code_of(const char *keyword, int codes) {
  static const char *const words[ZV_STATUS_CODES] = {"TEST",    "STOP_WAN",     "STOP_OSS",
                                                     "RESTART", "PING_REQUEST", "PING_RESPONSE"};
  for (int code = 0; code < codes; ++code)
    if (strncmp(keyword, words[code], strlen(words[code])) == 0) return code;
  return ZV_STATUS_KEYWORD_TEXT;
}

// The refusal of a partner setting the dispatcher cannot build for.
int refuse_setting(Trans_ctl_rec *t, int code, const char *format, int value, const char *isaid) {
  zv_log(-1, format, value, isaid);
  return refuse_for_partner(t, code);
}

constexpr const char *kUnknownEdi =
    "WARNING: Unknown EDI message type of [%d] found in Trading Partner configuration for "
    "[%s]\n";
constexpr const char *kUnknownReceipt =
    "WARNING: Unknown Receipt message type of [%d] found in Trading Partner configuration "
    "for [%s]\n";

int refuse_unknown_type(Trans_ctl_rec *t, const char *isaid) {
  zv_log(-1, "WARNING: Unknown message (type not known) found for Trading Partner [%s]\n", isaid);
  return refuse_for_partner(t, ZV_ERRM_UNKNOWN_TYPE_OF_MSG_FOR_TP);
}

// The builder's result becomes the envelope; a failed build (the builder has said why)
// is refused with `failure`, so that nothing half-made is sent.
int finish_build(Trans_ctl_rec *t, int length, int failure) {
  if (length < 0) {
    t->digest[0] = '\0';
    t->digest_length = 0;
    return refuse_for_partner(t, failure);
  }
  t->obuf_length = length;
  if (debug_level & 0x400) {
    zv_log(1, "ASN1 Output Data (in HEX) +++++++++++++++++\n");
    dump_hex_char(reinterpret_cast<const unsigned char *>(t->obufferp), length);
    zv_log(1, "++++++ End of ASN1 Output Data (in HEX) +++\n");
  }
  return 0;
}

}  // namespace

int process_rawInputData(Trans_ctl_rec *tctlp, EVP_PKEY *pRsa) {
  if (int rc = dispatch_ready(tctlp, pRsa, kSource); rc != 0) return rc;
  if (rawMessage_flag) return send_raw(tctlp);

  char *in = zv_request_part(tctlp, nullptr);
  char *out = tctlp->obufferp;
  int cap = tctlp->obuf_length;
  const Tpartner_rec *tp = partner_of(tctlp);
  const char *isaid = tp ? tp->isaid : "";
  int length = -1;
  int failure = ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE;

  switch (tctlp->msg_type) {
    case ZV_MT_BASIC_EDI: {
      int t = tp ? tp->svrZvMessageType : UNSUPPORTED_MT;
      if (t == BASIC_EDI) {
        tctlp->msg_type = ZV_MT_BASIC_EDI;
        length = AsciiEDI_2_BasicEDI(in, out, cap);
      } else if (t == INTEGRITY_EDI) {
        tctlp->msg_type = ZV_MT_INTEGRITY_EDI;
        length = AsciiEDI_2_EDIwMI(tctlp, in, out, cap);
      } else if (t == SIGNED_EDI) {
        tctlp->msg_type = ZV_MT_SIGNED_EDI;
        length = AsciiEDI_2_EDIwNR(tctlp, in, out, cap, pRsa);
      } else {
        return refuse_setting(tctlp, ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE, kUnknownEdi, t, isaid);
      }
      break;
    }
    case ZV_MT_BASIC_RECEIPT: {
      int t = tp ? tp->cliZvReceiptType : UNSUPPORTED_RT;
      failure = ZV_ERRM_CANNOT_GENERATE_RECEIPT;
      if (t == BASIC_RECEIPT) {
        tctlp->msg_type = ZV_MT_BASIC_RECEIPT;
        length = AsciiEDI_2_BasicReceipt(in, out, cap);
      } else if (t == INTEGRITY_RECEIPT) {
        tctlp->msg_type = ZV_MT_INTEGRITY_RECEIPT;
        length = AsciiEDI_2_Receipt_MI(in, out, cap);
      } else if (t == SIGNED_RECEIPT) {
        tctlp->msg_type = ZV_MT_SIGNED_RECEIPT;
        length = AsciiEDI_2_Receipt_NR(in, out, cap);
      } else {
        return refuse_setting(tctlp, ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE, kUnknownReceipt,
                              t, isaid);
      }
      break;
    }
    case ZV_MT_STATUS: {
      length = Generate_ZV_Status(status_code_of(in, ZV_STATUS_RESTART + 1), in, out, cap);
      if (length < 1) {
        zv_log(-1, "WARNING: Unknown ZV status input message found  - skipping mesage\n");
        return refuse_for_partner(tctlp, ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG);
      }
      break;
    }
    default:
      return refuse_unknown_type(tctlp, isaid);
  }
  return finish_build(tctlp, length, failure);
}

int process_rawInputData_v3(Trans_ctl_rec *tctlp, EVP_PKEY *pRsa, int status) {
  if (int rc = dispatch_ready(tctlp, pRsa, kSourceV3); rc != 0) return rc;
  if (rawMessage_flag) return send_raw(tctlp);

  char *in = zv_request_part(tctlp, nullptr);
  char *out = tctlp->obufferp;
  int cap = tctlp->obuf_length;
  const Tpartner_rec *tp = partner_of(tctlp);
  const char *isaid = tp ? tp->isaid : "";
  int length = -1;
  int failure = ZV_ERRM_CANNOT_GENERATE_EDI_MSG_FILE;
  constexpr int kRefused = ZV_ERRM_UNKNOWN_MSG_TYPE_IN_TPFILE;

  switch (tctlp->msg_type) {
    case ZV_MT_BASIC_EDI: {
      int t = tp ? tp->svrZvMessageType : UNSUPPORTED_MT;
      if (t == BASIC_EDI) {
        tctlp->msg_type = ZV_MT_BASIC_EDI;
        length = AsciiEDI_2_BasicEDI_v3(in, out, cap);
      } else if (t == INTEGRITY_EDI) {
        return refuse_setting(tctlp, kRefused,
                              "WARNING: EDI message type of INTEGRITY_EDI [%d] found (but not "
                              "supported in ZVv3) in Trading Partner configuration for [%s]\n",
                              t, isaid);
      } else if (t == SIGNED_EDI) {
        tctlp->msg_type = ZV_MT_SIGNED_EDI;
        length = AsciiEDI_2_EDIwNR_v3(tctlp, in, out, cap, pRsa);
      } else {
        return refuse_setting(tctlp, kRefused, kUnknownEdi, t, isaid);
      }
      break;
    }
    case ZV_MT_TEXT:
    case ZV_MT_XML: {
      bool text = tctlp->msg_type == ZV_MT_TEXT;
      int t = tp ? tp->svrZvMessageType : UNSUPPORTED_MT;
      if (t == BASIC_EDI) {
        length = text ? AsciiTXT_2_BasicEDI_v3(in, out, cap) : AsciiXML_2_BasicEDI_v3(in, out, cap);
      } else if (t == INTEGRITY_EDI || t == SIGNED_EDI) {
        return refuse_setting(
            tctlp, kRefused,
            text ? "WARNING: Text message type of INTEGRITY_TXT or SIGNED_TXT [%d] found (but not "
                   "supported in ZVv3) in Trading Partner configuration for [%s]\n"
                 : "WARNING: EDI message type of INTEGRITY_TXT or SIGNED_TXT [%d] found (but not "
                   "supported in ZVv3) in Trading Partner configuration for [%s]\n",
            t, isaid);
      } else {
        return refuse_setting(tctlp, kRefused, kUnknownEdi, t, isaid);
      }
      break;
    }
    case ZV_MT_BASIC_RECEIPT: {
      int t = tp ? tp->cliZvReceiptType : UNSUPPORTED_RT;
      failure = ZV_ERRM_CANNOT_GENERATE_RECEIPT;
      if (t == BASIC_RECEIPT) {
        tctlp->msg_type = ZV_MT_BASIC_RECEIPT;
        length = AsciiEDI_2_BasicReceipt_v3(in, out, cap);
      } else if (t == INTEGRITY_RECEIPT) {
        // Issue 3 has no integrity receipt: a configuration fault like an unsupported
        // message type, and reported with that code.
        return refuse_setting(tctlp, kRefused,
                              "WARNING: EDI receipt type of INTEGRITY_RECEIPT [%d] found (but not "
                              "supported in ZVv3) in Trading Partner configuration for [%s]\n",
                              t, isaid);
      } else if (t == SIGNED_RECEIPT) {
        tctlp->msg_type = ZV_MT_SIGNED_RECEIPT;
        length = AsciiEDI_2_Receipt_NR_v3(in, out, cap);
      } else {
        return refuse_setting(tctlp, ZV_ERRM_UNKNOWN_RECEIPT_MSG_TYPE_IN_TPFILE, kUnknownReceipt,
                              t, isaid);
      }
      break;
    }
    case ZV_MT_STATUS: {
      // clientd passes 0 for every request, so the keyword names the pattern; a caller
      // that already knows the code passes it.
      int code = status != ZV_STATUS_TEST ? status : status_code_of(in, ZV_STATUS_CODES);
      failure = ZV_ERRM_CANNOT_GENERATE_ZV_STATUS_MSG;
      length = Generate_ZV_StatusV3(code, in, out, cap);
      break;
    }
    default:
      return refuse_unknown_type(tctlp, isaid);
  }
  return finish_build(tctlp, length, failure);
}
