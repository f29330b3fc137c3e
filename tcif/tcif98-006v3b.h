// The TCIF-98-006 Issue 3 security module (v3__SecurityModule): 16 record types with
// v3_X_new, v3_X_free, i2d_v3_X and d2i_v3_X, the release operations of its two CHOICE
// types, and the loader of the module's error-string table.
//
// Callers: the version-3 basic-receipt builder of the client makes a v3_SecureMessage
// that selects messageReceipt (130), holding a v3_ZvReceiptMessage whose
// uniqueIdentifier selects isaSegment (4) and whose enhancements is NULL; it encodes it
// and carries the octets as the enhancedMessage of a v3_ZvMessage
// (tcif/tcif98-006v3a.h). Every other type and every decoder is complete but unused by
// the programs.
//
// The family rules of tcif/tcif98-006v2.h and the Issue 3 points of
// tcif/tcif98-006v3a.h hold, and further:
//  * i2d_v3_SecureMessage writes at *pp but leaves *pp where it was; every other
//    encoder advances it. A caller writing more after it advances by the result.
//  * A CHOICE-typed field inside a SEQUENCE (signedContent, uniqueIdentifier) is its
//    selected alternative alone, decoded from whatever follows; the field after it is
//    read behind the alternative. One that selects nothing writes nothing.
//  * v3_AlgorithmIdentifier is a SEQUENCE of an OBJECT IDENTIFIER and a NULL (a new one
//    writes 30 02 05 00); in v3_SignerInfos it is taken only on 0x10 / 0x30.
//  * d2i_v3_ZvReceiptMessage: a uniqueIdentifier whose first octet is none of 04, 24,
//    A0, A1 fails the receipt with reason 58; enhancements is taken on 0x10 / 0x30 and
//    is otherwise released and left NULL.
//  * Release by selector: v3_SecureMessage_dfree a v3_SignedMessage for 129 and a
//    v3_ZvReceiptMessage for 130; v3_UniqueIdentifier_dfree an OCTET STRING for 4, 128
//    and 129; any other selector releases nothing. NULL does nothing.
// A record is used by one thread at a time.
#ifndef ZV_TCIF_TCIF98_006V3B_H
#define ZV_TCIF_TCIF98_006V3B_H

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/safestack.h>

#include "codec/zv_der.h"
#include "tcif/tcif98-006v3a.h"
#include "tcif/tcif_codes.h"

typedef struct v3_AlgorithmIdentifier_st v3_AlgorithmIdentifier;
typedef struct v3_SecureMessage_st v3_SecureMessage;
typedef struct v3_SignerInfos_st v3_SignerInfos;
typedef struct v3_AlgorithmIdentifierX_st v3_AlgorithmIdentifierX;
typedef struct v3_SignerInfosX_st v3_SignerInfosX;
typedef struct v3_SignedMessage_st v3_SignedMessage;
typedef struct v3_IssuerCountry_st v3_IssuerCountry;
typedef struct v3_IssuerCountryX_st v3_IssuerCountryX;
typedef struct v3_IssuerCountryXX_st v3_IssuerCountryXX;
typedef struct v3_IssuerOrg_st v3_IssuerOrg;
typedef struct v3_IssuerOrgX_st v3_IssuerOrgX;
typedef struct v3_IssuerOrgXX_st v3_IssuerOrgXX;
typedef struct v3_IssuerAndSerialNumber_st v3_IssuerAndSerialNumber;
typedef struct v3_ZvReceiptMessage_st v3_ZvReceiptMessage;
typedef struct v3_UniqueIdentifier_st v3_UniqueIdentifier;
typedef struct v3_WithDigSig_st v3_WithDigSig;

DEFINE_STACK_OF(v3_AlgorithmIdentifier)
DEFINE_STACK_OF(v3_SignerInfos)
DEFINE_STACK_OF(v3_IssuerCountry)
DEFINE_STACK_OF(v3_IssuerCountryX)
DEFINE_STACK_OF(v3_IssuerOrg)
DEFINE_STACK_OF(v3_IssuerOrgX)

constexpr int V3_SECUREMESSAGE_SIGNED_MESSAGE = 129;   // [1] EXPLICIT v3_SignedMessage
constexpr int V3_SECUREMESSAGE_MESSAGE_RECEIPT = 130;  // [2] EXPLICIT v3_ZvReceiptMessage
constexpr int V3_UNIQUEIDENTIFIER_ISA_SEGMENT = 4;     // OCTET STRING
constexpr int V3_UNIQUEIDENTIFIER_TEXT_HASH = 128;     // [0] EXPLICIT OCTET STRING
constexpr int V3_UNIQUEIDENTIFIER_XML_HASH = 129;      // [1] EXPLICIT OCTET STRING

// 0: SEQUENCE { OBJECT IDENTIFIER, NULL }
struct v3_AlgorithmIdentifier_st {
  ASN1_OBJECT *algorithm;
  ASN1_NULL *parameters;
};

// 1: CHOICE { signedMessage [1] EXPLICIT v3_SignedMessage,
// messageReceipt [2] EXPLICIT v3_ZvReceiptMessage }
struct v3_SecureMessage_st {
  int tag;
  union {
    void *ptr;
    v3_SignedMessage *signedMessage;
    v3_ZvReceiptMessage *messageReceipt;
  } d;
};

// 2: SEQUENCE { INTEGER, v3_IssuerAndSerialNumber, v3_AlgorithmIdentifier,
// v3_AlgorithmIdentifier, OCTET STRING }
struct v3_SignerInfos_st {
  ASN1_INTEGER *signerVersion;
  v3_IssuerAndSerialNumber *issuerAndSerialNumber;
  v3_AlgorithmIdentifier *signedDigestAlgorithm;
  v3_AlgorithmIdentifier *digestEncryptionAlgorithm;
  ASN1_OCTET_STRING *encryptedDigest;
};

// 3: SEQUENCE { SET OF v3_AlgorithmIdentifier }
struct v3_AlgorithmIdentifierX_st {
  STACK_OF(v3_AlgorithmIdentifier) *v3_AlgorithmIdentifier;
};

// 4: SEQUENCE { SET OF v3_SignerInfos }
struct v3_SignerInfosX_st {
  STACK_OF(v3_SignerInfos) *v3_SignerInfos;
};

// 5: SEQUENCE { INTEGER, SET OF v3_AlgorithmIdentifier, v3_BasicMessage (CHOICE),
// SET OF v3_SignerInfos }
struct v3_SignedMessage_st {
  ASN1_INTEGER *signedVersion;
  STACK_OF(v3_AlgorithmIdentifier) *v3_AlgorithmIdentifier;
  v3_BasicMessage *signedContent;
  STACK_OF(v3_SignerInfos) *v3_SignerInfos;
};

// 6: SEQUENCE { OBJECT IDENTIFIER, PrintableString }
struct v3_IssuerCountry_st {
  ASN1_OBJECT *country;
  ASN1_PRINTABLESTRING *countryValue;
};

// 7: SEQUENCE { SET OF v3_IssuerCountry }
struct v3_IssuerCountryX_st {
  STACK_OF(v3_IssuerCountry) *v3_IssuerCountry;
};

// 8: SEQUENCE { SEQUENCE OF v3_IssuerCountry }
struct v3_IssuerCountryXX_st {
  STACK_OF(v3_IssuerCountry) *v3_IssuerCountry;
};

// 9: SEQUENCE { OBJECT IDENTIFIER, PrintableString }
struct v3_IssuerOrg_st {
  ASN1_OBJECT *organizationName;
  ASN1_PRINTABLESTRING *organizationValue;
};

// 10: SEQUENCE { SET OF v3_IssuerOrg }
struct v3_IssuerOrgX_st {
  STACK_OF(v3_IssuerOrg) *v3_IssuerOrg;
};

// 11: SEQUENCE { SEQUENCE OF v3_IssuerOrg }
struct v3_IssuerOrgXX_st {
  STACK_OF(v3_IssuerOrg) *v3_IssuerOrg;
};

// 12: SEQUENCE { SEQUENCE OF v3_IssuerCountryX, SEQUENCE OF v3_IssuerOrgX, INTEGER }
struct v3_IssuerAndSerialNumber_st {
  STACK_OF(v3_IssuerCountryX) *v3_IssuerCountryX;
  STACK_OF(v3_IssuerOrgX) *v3_IssuerOrgX;
  ASN1_INTEGER *serialNumber;
};

// 13: SEQUENCE { v3_UniqueIdentifier (CHOICE), PrintableString, v3_WithDigSig OPTIONAL }
struct v3_ZvReceiptMessage_st {
  v3_UniqueIdentifier *uniqueIdentifier;
  ASN1_PRINTABLESTRING *dateTimeStamp;
  v3_WithDigSig *enhancements;
};

// 14: CHOICE { isaSegment OCTET STRING, textHash [0] EXPLICIT OCTET STRING,
// xmlHash [1] EXPLICIT OCTET STRING }
struct v3_UniqueIdentifier_st {
  int tag;
  union {
    void *ptr;
    ASN1_OCTET_STRING *isaSegment;
    ASN1_OCTET_STRING *textHash;
    ASN1_OCTET_STRING *xmlHash;
  } d;
};

// 15: SEQUENCE { OBJECT IDENTIFIER, OCTET STRING }
struct v3_WithDigSig_st {
  ASN1_OBJECT *receiptSignatureAlgorithm;
  ASN1_OCTET_STRING *receiptDigitalSignature;
};

ZV_TCIF_DECLARE_OPERATIONS(v3_AlgorithmIdentifier)
ZV_TCIF_DECLARE_OPERATIONS(v3_SecureMessage)
ZV_TCIF_DECLARE_OPERATIONS(v3_SignerInfos)
ZV_TCIF_DECLARE_OPERATIONS(v3_AlgorithmIdentifierX)
ZV_TCIF_DECLARE_OPERATIONS(v3_SignerInfosX)
ZV_TCIF_DECLARE_OPERATIONS(v3_SignedMessage)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerCountry)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerCountryX)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerCountryXX)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerOrg)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerOrgX)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerOrgXX)
ZV_TCIF_DECLARE_OPERATIONS(v3_IssuerAndSerialNumber)
ZV_TCIF_DECLARE_OPERATIONS(v3_ZvReceiptMessage)
ZV_TCIF_DECLARE_OPERATIONS(v3_UniqueIdentifier)
ZV_TCIF_DECLARE_OPERATIONS(v3_WithDigSig)
void v3_SecureMessage_dfree(v3_SecureMessage *a);
void v3_UniqueIdentifier_dfree(v3_UniqueIdentifier *a);

// The module's error-string table, codes 100 to 147 in the reason position
// (ERR_PACK(ZV_TCIF_ERR_LIB, 0, code)), then an end entry.
constexpr int V3_SECURITY_MODULE_STR_FUNCS_COUNT = 48;
extern const ERR_STRING_DATA
    v3__SecurityModule_str_funcs[V3_SECURITY_MODULE_STR_FUNCS_COUNT + 1];

// Registers the table under library code 129 on the first call only (see
// ERR_load_ZOLVARv2_strings for codes that several modules use).
void ERR_load_v3__SecurityModule_strings();

constexpr int V3_SECURITY_MODULE_TYPE_COUNT = 16;
extern const zv_der_type *const v3__SecurityModule_types[V3_SECURITY_MODULE_TYPE_COUNT];

#endif
