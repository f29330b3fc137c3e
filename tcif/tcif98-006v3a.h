// The TCIF-98-006 Issue 3 message module (v3__InteractiveAgent): the two CHOICE types
// v3_ZvMessage and v3_BasicMessage with v3_X_new, v3_X_free, i2d_v3_X, d2i_v3_X and
// v3_X_dfree, and the loader of the module's error-string table.
//
// Callers: the version-3 envelope builders of the client use v3_ZvMessage for every
// Issue 3 envelope they build with this codec (selector 22 the basic EDI message, 3 the
// status message, 4 the basic receipt, whose octets are a v3_SecureMessage of
// tcif/tcif98-006v3b.h). The security module uses v3_BasicMessage as its signed content.
//
// The family rules of tcif/tcif98-006v2.h hold, with these Issue 3 points:
//  * An IA5String is written 0x16 with its octets as held.
//  * A CHOICE is written as its selected alternative alone; a selector naming no
//    alternative, or a NULL pointer, writes nothing.
//  * A CHOICE decoder tries the alternatives in declaration order on the first octet
//    (untagged ones with the constructed bit cleared, [n] EXPLICIT ones exactly). It
//    leaves octets after the alternative to its caller. No octets, or no matching
//    alternative: NULL, nothing queued, *pp unmoved, nothing stored through a (a record
//    given through a has lost its former alternative and selects nothing). An
//    alternative that fails: an entry ("d2i_T", reason, "offset=0"), a record made by
//    the call released, a record given through a left with the failed alternative's
//    selector and a NULL pointer.
//  * Release by selector: v3_ZvMessage_dfree a BIT STRING for 3, an OCTET STRING for 4
//    and an IA5String for 22, 128 and 129; v3_BasicMessage_dfree an IA5String for 22,
//    128 and 129; any other selector releases nothing. NULL does nothing.
// A record is used by one thread at a time.
#ifndef ZV_TCIF_TCIF98_006V3A_H
#define ZV_TCIF_TCIF98_006V3A_H

#include <openssl/asn1.h>
#include <openssl/err.h>

#include "codec/zv_der.h"
#include "tcif/tcif_codes.h"

// Selector values: the universal tag of an untagged alternative, 128 + n for [n].
constexpr int V3_SELECT_NONE = -1;
constexpr int V3_ZVMESSAGE_BASIC_MESSAGE2 = 22;    // IA5String
constexpr int V3_ZVMESSAGE_BASIC_MESSAGE3 = 128;   // [0] EXPLICIT IA5String
constexpr int V3_ZVMESSAGE_BASIC_MESSAGE4 = 129;   // [1] EXPLICIT IA5String
constexpr int V3_ZVMESSAGE_ZV_STATUS_MESSAGE = 3;  // BIT STRING
constexpr int V3_ZVMESSAGE_ENHANCED_MESSAGE = 4;   // OCTET STRING (a v3_SecureMessage)
constexpr int V3_BASICMESSAGE_BASIC_MESSAGE2 = 22;
constexpr int V3_BASICMESSAGE_BASIC_MESSAGE3 = 128;
constexpr int V3_BASICMESSAGE_BASIC_MESSAGE4 = 129;

// 0: CHOICE { basicMessage2 IA5String, basicMessage3 [0] EXPLICIT IA5String,
// basicMessage4 [1] EXPLICIT IA5String, zvStatusMessage BIT STRING,
// enhancedMessage OCTET STRING }
typedef struct v3_ZvMessage_st {
  int tag;
  union {
    void *ptr;
    ASN1_IA5STRING *basicMessage2;
    ASN1_IA5STRING *basicMessage3;
    ASN1_IA5STRING *basicMessage4;
    ASN1_BIT_STRING *zvStatusMessage;
    ASN1_OCTET_STRING *enhancedMessage;
  } d;
} v3_ZvMessage;

// 1: CHOICE { basicMessage2 IA5String, basicMessage3 [0] EXPLICIT IA5String,
// basicMessage4 [1] EXPLICIT IA5String }
typedef struct v3_BasicMessage_st {
  int tag;
  union {
    void *ptr;
    ASN1_IA5STRING *basicMessage2;
    ASN1_IA5STRING *basicMessage3;
    ASN1_IA5STRING *basicMessage4;
  } d;
} v3_BasicMessage;

ZV_TCIF_DECLARE_OPERATIONS(v3_ZvMessage)
ZV_TCIF_DECLARE_OPERATIONS(v3_BasicMessage)
void v3_ZvMessage_dfree(v3_ZvMessage *a);
void v3_BasicMessage_dfree(v3_BasicMessage *a);

// The module's error-string table, codes 100 to 105 in the reason position
// (ERR_PACK(ZV_TCIF_ERR_LIB, 0, code)), then an end entry.
constexpr int V3_INTERACTIVE_AGENT_STR_FUNCS_COUNT = 6;
extern const ERR_STRING_DATA
    v3__InteractiveAgent_str_funcs[V3_INTERACTIVE_AGENT_STR_FUNCS_COUNT + 1];

// Registers the table under library code 129 on the first call only (see
// ERR_load_ZOLVARv2_strings for codes that several modules use).
void ERR_load_v3__InteractiveAgent_strings();

constexpr int V3_INTERACTIVE_AGENT_TYPE_COUNT = 2;
extern const zv_der_type *const v3__InteractiveAgent_types[V3_INTERACTIVE_AGENT_TYPE_COUNT];

#endif
