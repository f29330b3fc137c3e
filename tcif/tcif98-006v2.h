// The TCIF-98-006 Issue 2 message types and their DER codecs: 22 record types, each
// with T_new, T_free, i2d_T and d2i_T, the release of the selected `Enhancements`
// alternative, and the loader of the module's error-string table.
//
// Callers: the version-2 envelope builders of the client (PlainEDImessage for the basic
// EDI envelope, ZvReceiptMessage with a ReceiptContent and an Enhancements that selects
// nothing for the basic receipt). Every other type and every decoder is complete but
// unused by the programs.
//
// Family rules (shared with the Issue 3 modules, tcif/tcif98-006v3a.h and v3b.h):
//  * T_new gives every field a fresh empty value: an identifier without content (it
//    writes nothing), empty strings, an INTEGER without a value (written 02 00), a new
//    X509_ALGOR (one without an algorithm writes nothing), empty stacks, nested records
//    made the same way; a CHOICE selects nothing (-1, NULL). NULL when any allocation
//    fails; only a failed allocation of the record itself is queued (reason 65).
//  * i2d_T(a, pp): the length of the encoding; with pp (and *pp) given it also writes at
//    *pp and advances *pp. A NULL record, a NULL field, an empty stack and a CHOICE that
//    selects nothing (or holds a NULL pointer) write nothing. SET OF elements are
//    written in DER order, SEQUENCE OF elements in stack order. It never fails and does
//    not check room: measure first (pp NULL) and provide that many octets.
//  * d2i_T(a, pp, length): decodes into *a when a and *a are given (that record stays
//    the caller's, with the fields decoded so far replaced even on failure), else into a
//    new record. A field is taken only when octets remain and its first octet passes the
//    field's test; one not taken keeps its value. Decoded list elements are appended to
//    what the stack already holds. On success *pp moves past the element (octets after
//    it are not looked at) and *a receives the record; on failure *pp is unchanged, a
//    record made by the call is released, and NULL is returned.
//  * Errors go only to the calling thread's error queue: library 13, the operation's
//    name from the module's string table as the entry's function (OpenSSL 3 keeps no
//    function codes), a reason (ZV_DER_R_* of codec/zv_der.h), and for SEQUENCE
//    decoders "offset=N" (where the failing element starts in the decoder's input) as
//    data. A CHOICE decoder that finds no matching alternative returns NULL and queues
//    nothing.
//
// Ownership: a record owns every value, nested record and stack its fields point to. A
// caller may lend a value of its own to a field for an encoding, and must put the
// record's own value back before T_free. A record is used by one thread at a time.
#ifndef ZV_TCIF_TCIF98_006V2_H
#define ZV_TCIF_TCIF98_006V2_H

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include "codec/zv_der.h"
#include "tcif/tcif_codes.h"

typedef struct PlainEDImessage_st PlainEDImessage;
typedef struct IntegrityEDImessage_st IntegrityEDImessage;
typedef struct IntegrityContent_st IntegrityContent;
typedef struct InnerContent_st InnerContent;
typedef struct SignedEDImessage_st SignedEDImessage;
typedef struct AlgorithmIdentifierX_st AlgorithmIdentifierX;
typedef struct SignerInfosX_st SignerInfosX;
typedef struct SignedContent_st SignedContent;
typedef struct SignerInfos_st SignerInfos;
typedef struct IssuerCountryXX_st IssuerCountryXX;
typedef struct IssuerOrgXX_st IssuerOrgXX;
typedef struct IssuerAndSerialNumber_st IssuerAndSerialNumber;
typedef struct IssuerCountryX_st IssuerCountryX;
typedef struct IssuerCountry_st IssuerCountry;
typedef struct IssuerOrgX_st IssuerOrgX;
typedef struct IssuerOrg_st IssuerOrg;
typedef struct ZvStatusMessage_st ZvStatusMessage;
typedef struct ZvReceiptMessage_st ZvReceiptMessage;
typedef struct ReceiptContent_st ReceiptContent;
typedef struct Enhancements_st Enhancements;
typedef struct WithDigest_st WithDigest;
typedef struct WithDigSig_st WithDigSig;

DEFINE_STACK_OF(SignerInfos)
DEFINE_STACK_OF(IssuerCountryX)
DEFINE_STACK_OF(IssuerCountry)
DEFINE_STACK_OF(IssuerOrgX)
DEFINE_STACK_OF(IssuerOrg)

// 0: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT OCTET STRING }
struct PlainEDImessage_st {
  ASN1_OBJECT *plainEDImessage;
  ASN1_OCTET_STRING *ediContent;
};

// 1: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT IntegrityContent }
struct IntegrityEDImessage_st {
  ASN1_OBJECT *integrityEDImessage;
  IntegrityContent *integrityContent;
};

// 2: SEQUENCE { INTEGER, AlgorithmIdentifier, InnerContent, OCTET STRING }. The
// algorithm is decoded from whatever follows the version.
struct IntegrityContent_st {
  ASN1_INTEGER *integrityVersion;
  X509_ALGOR *integrityAlgorithmIdentifier;
  InnerContent *innerContent;
  ASN1_OCTET_STRING *integrityDigest;
};

// 3: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT OCTET STRING }
struct InnerContent_st {
  ASN1_OBJECT *plainEDImessage;
  ASN1_OCTET_STRING *ediContent;
};

// 4: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT SignedContent }
struct SignedEDImessage_st {
  ASN1_OBJECT *signedEDImessage;
  SignedContent *signedContent;
};

// 5: SEQUENCE { SET OF AlgorithmIdentifier }
struct AlgorithmIdentifierX_st {
  STACK_OF(X509_ALGOR) *X509_ALGOR;
};

// 6: SEQUENCE { SET OF SignerInfos }
struct SignerInfosX_st {
  STACK_OF(SignerInfos) *SignerInfos;
};

// 7: SEQUENCE { INTEGER, SET OF AlgorithmIdentifier, InnerContent, SET OF SignerInfos }
struct SignedContent_st {
  ASN1_INTEGER *signedVersion;
  STACK_OF(X509_ALGOR) *X509_ALGOR;
  InnerContent *innerContent;
  STACK_OF(SignerInfos) *SignerInfos;
};

// 8: SEQUENCE { INTEGER, IssuerAndSerialNumber, AlgorithmIdentifier,
// AlgorithmIdentifier, OCTET STRING }. Both algorithms are decoded from whatever follows.
struct SignerInfos_st {
  ASN1_INTEGER *signerVersion;
  IssuerAndSerialNumber *issuerAndSerialNumber;
  X509_ALGOR *signedDigestAlgorithm;
  X509_ALGOR *digestEncryptionAlgorithm;
  ASN1_OCTET_STRING *encryptedDigest;
};

// 9: SEQUENCE { SEQUENCE OF IssuerCountry }
struct IssuerCountryXX_st {
  STACK_OF(IssuerCountry) *IssuerCountry;
};

// 10: SEQUENCE { SEQUENCE OF IssuerOrg }
struct IssuerOrgXX_st {
  STACK_OF(IssuerOrg) *IssuerOrg;
};

// 11: SEQUENCE { SEQUENCE OF IssuerCountryX, SEQUENCE OF IssuerOrgX, INTEGER }
struct IssuerAndSerialNumber_st {
  STACK_OF(IssuerCountryX) *IssuerCountryX;
  STACK_OF(IssuerOrgX) *IssuerOrgX;
  ASN1_INTEGER *serialNumber;
};

// 12: SEQUENCE { SET OF IssuerCountry }
struct IssuerCountryX_st {
  STACK_OF(IssuerCountry) *IssuerCountry;
};

// 13: SEQUENCE { OBJECT IDENTIFIER, PrintableString }
struct IssuerCountry_st {
  ASN1_OBJECT *country;
  ASN1_PRINTABLESTRING *countryValue;
};

// 14: SEQUENCE { SET OF IssuerOrg }
struct IssuerOrgX_st {
  STACK_OF(IssuerOrg) *IssuerOrg;
};

// 15: SEQUENCE { OBJECT IDENTIFIER, PrintableString }
struct IssuerOrg_st {
  ASN1_OBJECT *organizationName;
  ASN1_PRINTABLESTRING *organizationValue;
};

// 16: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT BIT STRING }. Unless the value carries
// its own unused-bit count, the encoder drops trailing zero octets and derives it.
struct ZvStatusMessage_st {
  ASN1_OBJECT *zvStatusMessage;
  ASN1_BIT_STRING *zvStatus;
};

// 17: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT ReceiptContent }
struct ZvReceiptMessage_st {
  ASN1_OBJECT *zvReceiptMessage;
  ReceiptContent *receiptContent;
};

// 18: SEQUENCE { OCTET STRING, PrintableString, Enhancements OPTIONAL }. A decode that
// finds no octets for `enhancements` releases it and leaves it NULL.
struct ReceiptContent_st {
  ASN1_OCTET_STRING *isaSegment;
  ASN1_PRINTABLESTRING *dateTimeStamp;
  Enhancements *enhancements;
};

// Selector values of Enhancements: the alternative's identifier octet without the
// constructed bit.
constexpr int ENHANCEMENTS_NONE = -1;
constexpr int ENHANCEMENTS_WITH_DIGEST = 129;  // [1] EXPLICIT WithDigest
constexpr int ENHANCEMENTS_WITH_DIGSIG = 130;  // [2] EXPLICIT WithDigSig

// 19: CHOICE { withDigest [1] EXPLICIT WithDigest, withDigSig [2] EXPLICIT WithDigSig },
// without a header of its own. The record owns the selected alternative; to select
// another, release the current one with Enhancements_dfree, then set `tag` and the
// pointer together.
struct Enhancements_st {
  int tag;
  union {
    void *ptr;
    WithDigest *withDigest;
    WithDigSig *withDigSig;
  } d;
};

// 20: SEQUENCE { OBJECT IDENTIFIER, OCTET STRING }
struct WithDigest_st {
  ASN1_OBJECT *receiptDigestAlgorithm;
  ASN1_OCTET_STRING *receiptMessageDigest;
};

// 21: SEQUENCE { OBJECT IDENTIFIER, OCTET STRING }
struct WithDigSig_st {
  ASN1_OBJECT *receiptSignatureAlgorithm;
  ASN1_OCTET_STRING *receiptDigitalSignature;
};

ZV_TCIF_DECLARE_OPERATIONS(PlainEDImessage)
ZV_TCIF_DECLARE_OPERATIONS(IntegrityEDImessage)
ZV_TCIF_DECLARE_OPERATIONS(IntegrityContent)
ZV_TCIF_DECLARE_OPERATIONS(InnerContent)
ZV_TCIF_DECLARE_OPERATIONS(SignedEDImessage)
ZV_TCIF_DECLARE_OPERATIONS(AlgorithmIdentifierX)
ZV_TCIF_DECLARE_OPERATIONS(SignerInfosX)
ZV_TCIF_DECLARE_OPERATIONS(SignedContent)
ZV_TCIF_DECLARE_OPERATIONS(SignerInfos)
ZV_TCIF_DECLARE_OPERATIONS(IssuerCountryXX)
ZV_TCIF_DECLARE_OPERATIONS(IssuerOrgXX)
ZV_TCIF_DECLARE_OPERATIONS(IssuerAndSerialNumber)
ZV_TCIF_DECLARE_OPERATIONS(IssuerCountryX)
ZV_TCIF_DECLARE_OPERATIONS(IssuerCountry)
ZV_TCIF_DECLARE_OPERATIONS(IssuerOrgX)
ZV_TCIF_DECLARE_OPERATIONS(IssuerOrg)
ZV_TCIF_DECLARE_OPERATIONS(ZvStatusMessage)
ZV_TCIF_DECLARE_OPERATIONS(ZvReceiptMessage)
ZV_TCIF_DECLARE_OPERATIONS(ReceiptContent)
ZV_TCIF_DECLARE_OPERATIONS(Enhancements)
ZV_TCIF_DECLARE_OPERATIONS(WithDigest)
ZV_TCIF_DECLARE_OPERATIONS(WithDigSig)

// Releases the selected alternative (129 WithDigest, 130 WithDigSig; any other selector
// releases nothing) and resets the record to select nothing; the record itself stays.
// NULL does nothing.
void Enhancements_dfree(Enhancements *a);

// The module's error-string table, one entry per function code 100 to 165 in code
// order ("PlainEDImessage_NEW", "d2i_PlainEDImessage", "i2d_PlainEDImessage", ...),
// then an end entry. OpenSSL 3 packs no function code, so each entry holds its code in
// the reason position: ERR_PACK(ZV_TCIF_ERR_LIB, 0, code).
constexpr int ZOLVARv2_STR_FUNCS_COUNT = 66;
extern const ERR_STRING_DATA ZOLVARv2_str_funcs[ZOLVARv2_STR_FUNCS_COUNT + 1];

// Registers ZOLVARv2_str_funcs with the crypto library under library code 129, on the
// first call only, so that ERR_reason_error_string(ERR_PACK(129, 0, code)) gives the
// text. The Issue 3 loaders register their codes 100 to 147 under the same library
// code; for a code both use, the table loaded last supplies the text. The reasons the
// decoders queue under library 13 get their texts from the DER core itself.
void ERR_load_ZOLVARv2_strings();

// The record descriptions in the module's order (index i of the function codes).
constexpr int ZOLVARv2_TYPE_COUNT = 22;
extern const zv_der_type *const ZOLVARv2_types[ZOLVARv2_TYPE_COUNT];

#endif
