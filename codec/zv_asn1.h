// The records of the system's own envelopes and their DER codecs: the integrity and
// signed EDI envelopes with the records they are built from, the receipt envelope with
// its enhancement CHOICE, and the status envelope.
//
// Every type T has T_new (all members created empty), T_free (releases the record and
// everything it owns; NULL does nothing), an encoder i2d_<name>(a, pp) (measures with
// pp NULL, else writes at *pp and advances it; both passes return the same length; it
// does not check the room it writes into) and a decoder d2i_<name>(a, pp, length)
// (decodes into *a when a and *a are given, else into a new record; on failure *pp is
// unchanged, a record it made is released and the caller's is kept, possibly partly
// overwritten). Errors go to the calling thread's error queue only: library 13, the
// operation's name as the entry's function, a reason (ZV_DER_R_* in codec/zv_der.h),
// "offset=N" as data.
//
// Callers: the client's envelope builders (create, fill, encode, release). A builder
// that lends a value of its own to a field puts the record's own value back (or NULL)
// before the release. A record is used by one thread at a time.
#ifndef ZV_CODEC_ZV_ASN1_H
#define ZV_CODEC_ZV_ASN1_H

#include <openssl/asn1.h>
#include <openssl/safestack.h>

#include "codec/zv_der.h"

// ---- EDI envelopes

// Plain EDI content: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT OCTET STRING OPTIONAL }.
typedef struct zv_edi_msg01_st {
  ASN1_OBJECT *ediMsgId;
  ASN1_OCTET_STRING *ediContent;
} ZV_EDI_MSGtype01;

// Integrity content: SEQUENCE { INTEGER, OBJECT IDENTIFIER, type 01, OCTET STRING }.
typedef struct zv_edi_msg02_st {
  ASN1_INTEGER *ediIntegrityVersion;
  ASN1_OBJECT *ediIntegrityAlgorithmId;
  ZV_EDI_MSGtype01 *ediInnerContent;
  ASN1_OCTET_STRING *ediIntegrityDigest;
} ZV_EDI_MSGtype02;

// Integrity EDI message: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT type 02 OPTIONAL }.
typedef struct zv_edi_msg03_st {
  ASN1_OBJECT *ediIntegrityMessageId;
  ZV_EDI_MSGtype02 *ediIntegrityContent;
} ZV_EDI_MSGtype03;

// Issuer country entry: SEQUENCE { OBJECT IDENTIFIER, PrintableString }.
typedef struct zv_edi_msg04_st {
  ASN1_OBJECT *country;
  ASN1_PRINTABLESTRING *countryValue;
} ZV_EDI_MSGtype04;
DEFINE_STACK_OF(ZV_EDI_MSGtype04)

// Issuer country list: SEQUENCE { SET OF type 04 }.
typedef struct zv_edi_msg04s_st {
  STACK_OF(ZV_EDI_MSGtype04) *countryEntries;
} ZV_EDI_MSGtype04S;

// Issuer organisation entry: SEQUENCE { OBJECT IDENTIFIER, PrintableString }.
typedef struct zv_edi_msg05_st {
  ASN1_OBJECT *organizationName;
  ASN1_PRINTABLESTRING *organizationValue;
} ZV_EDI_MSGtype05;
DEFINE_STACK_OF(ZV_EDI_MSGtype05)

// Issuer organisation list: SEQUENCE { SET OF type 05 }.
typedef struct zv_edi_msg05s_st {
  STACK_OF(ZV_EDI_MSGtype05) *orgEntries;
} ZV_EDI_MSGtype05S;

// Issuer and serial number: SEQUENCE { type 04S, type 05S, INTEGER }.
typedef struct zv_edi_msg06_st {
  ZV_EDI_MSGtype04S *issuerCountryS;
  ZV_EDI_MSGtype05S *issuerOrgS;
  ASN1_INTEGER *serialNumber;
} ZV_EDI_MSGtype06;

// Signer information: SEQUENCE { INTEGER, type 06, OBJECT IDENTIFIER, OBJECT IDENTIFIER,
// OCTET STRING }.
typedef struct zv_edi_msg07_st {
  ASN1_INTEGER *signerVersion;
  ZV_EDI_MSGtype06 *issuerAndSerialNumber;
  ASN1_OBJECT *signedDigestAlgorithm;
  ASN1_OBJECT *digestEncryptionAlgorithm;
  ASN1_OCTET_STRING *encryptedDigest;
} ZV_EDI_MSGtype07;
DEFINE_STACK_OF(ZV_EDI_MSGtype07)

// Algorithm identifier: the bare OBJECT IDENTIFIER, no SEQUENCE around it.
typedef struct zv_edi_msg07a_st {
  ASN1_OBJECT *algorithmIdentifier;
} ZV_EDI_MSGtype07A;
DEFINE_STACK_OF(ZV_EDI_MSGtype07A)

// Signed content: SEQUENCE { INTEGER, SET OF type 07A, type 01, SET OF type 07 }.
typedef struct zv_edi_msg08_st {
  ASN1_INTEGER *signedVersion;
  STACK_OF(ZV_EDI_MSGtype07A) *signedDigestAlgorithmS;
  ZV_EDI_MSGtype01 *innerContent;
  STACK_OF(ZV_EDI_MSGtype07) *signerInfoS;
} ZV_EDI_MSGtype08;

// Signed EDI message: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT type 08 OPTIONAL }.
typedef struct zv_edi_msg09_st {
  ASN1_OBJECT *signedEDImessage;
  ZV_EDI_MSGtype08 *signedContent;
} ZV_EDI_MSGtype09;

ZV_EDI_MSGtype01 *ZV_EDI_MSG_01_new();
void ZV_EDI_MSG_01_free(ZV_EDI_MSGtype01 *a);
// Releases only the identifier and the record; `ediContent` stays with its lender.
void ZV_EDI_MSG_01_free2(ZV_EDI_MSGtype01 *a);
int i2d_ZV_EDI_MSG_basic(const ZV_EDI_MSGtype01 *a, unsigned char **pp);
ZV_EDI_MSGtype01 *d2i_ZV_EDI_MSG_basic(ZV_EDI_MSGtype01 **a, const unsigned char **pp,
                                       long length);

ZV_EDI_MSGtype02 *ZV_EDI_MSG_02_new();
void ZV_EDI_MSG_02_free(ZV_EDI_MSGtype02 *a);
int i2d_ZV_EDI_MSG_integrity2(const ZV_EDI_MSGtype02 *a, unsigned char **pp);
ZV_EDI_MSGtype02 *d2i_ZV_EDI_MSG_integrity2(ZV_EDI_MSGtype02 **a, const unsigned char **pp,
                                            long length);

ZV_EDI_MSGtype03 *ZV_EDI_MSG_03_new();
void ZV_EDI_MSG_03_free(ZV_EDI_MSGtype03 *a);
int i2d_ZV_EDI_MSG_integrity(const ZV_EDI_MSGtype03 *a, unsigned char **pp);
ZV_EDI_MSGtype03 *d2i_ZV_EDI_MSG_integrity(ZV_EDI_MSGtype03 **a, const unsigned char **pp,
                                           long length);

ZV_EDI_MSGtype04 *ZV_EDI_MSG_04_new();
void ZV_EDI_MSG_04_free(ZV_EDI_MSGtype04 *a);
int i2d_ZV_EDI_MSG_04(const ZV_EDI_MSGtype04 *a, unsigned char **pp);
ZV_EDI_MSGtype04 *d2i_ZV_EDI_MSG_04(ZV_EDI_MSGtype04 **a, const unsigned char **pp,
                                    long length);

ZV_EDI_MSGtype04S *ZV_EDI_MSG_04S_new();
void ZV_EDI_MSG_04S_free(ZV_EDI_MSGtype04S *a);
int i2d_ZV_EDI_MSG_04S(const ZV_EDI_MSGtype04S *a, unsigned char **pp);
ZV_EDI_MSGtype04S *d2i_ZV_EDI_MSG_04S(ZV_EDI_MSGtype04S **a, const unsigned char **pp,
                                      long length);

ZV_EDI_MSGtype05 *ZV_EDI_MSG_05_new();
void ZV_EDI_MSG_05_free(ZV_EDI_MSGtype05 *a);
int i2d_ZV_EDI_MSG_05(const ZV_EDI_MSGtype05 *a, unsigned char **pp);
ZV_EDI_MSGtype05 *d2i_ZV_EDI_MSG_05(ZV_EDI_MSGtype05 **a, const unsigned char **pp,
                                    long length);

ZV_EDI_MSGtype05S *ZV_EDI_MSG_05S_new();
void ZV_EDI_MSG_05S_free(ZV_EDI_MSGtype05S *a);
int i2d_ZV_EDI_MSG_05S(const ZV_EDI_MSGtype05S *a, unsigned char **pp);
ZV_EDI_MSGtype05S *d2i_ZV_EDI_MSG_05S(ZV_EDI_MSGtype05S **a, const unsigned char **pp,
                                      long length);

ZV_EDI_MSGtype06 *ZV_EDI_MSG_06_new();
void ZV_EDI_MSG_06_free(ZV_EDI_MSGtype06 *a);
int i2d_ZV_EDI_MSG_06(const ZV_EDI_MSGtype06 *a, unsigned char **pp);
ZV_EDI_MSGtype06 *d2i_ZV_EDI_MSG_06(ZV_EDI_MSGtype06 **a, const unsigned char **pp,
                                    long length);

ZV_EDI_MSGtype07 *ZV_EDI_MSG_07_new();
void ZV_EDI_MSG_07_free(ZV_EDI_MSGtype07 *a);
int i2d_ZV_EDI_MSG_07(const ZV_EDI_MSGtype07 *a, unsigned char **pp);
ZV_EDI_MSGtype07 *d2i_ZV_EDI_MSG_07(ZV_EDI_MSGtype07 **a, const unsigned char **pp,
                                    long length);

ZV_EDI_MSGtype07A *ZV_EDI_MSG_07A_new();
void ZV_EDI_MSG_07A_free(ZV_EDI_MSGtype07A *a);
int i2d_ZV_EDI_MSG_07A(const ZV_EDI_MSGtype07A *a, unsigned char **pp);
// One OBJECT IDENTIFIER at the start of the input, whatever follows it; *pp is left
// right after the identifier.
ZV_EDI_MSGtype07A *d2i_ZV_EDI_MSG_07A(ZV_EDI_MSGtype07A **a, const unsigned char **pp,
                                      long length);

ZV_EDI_MSGtype08 *ZV_EDI_MSG_08_new();
void ZV_EDI_MSG_08_free(ZV_EDI_MSGtype08 *a);
int i2d_ZV_EDI_MSG_08(const ZV_EDI_MSGtype08 *a, unsigned char **pp);
ZV_EDI_MSGtype08 *d2i_ZV_EDI_MSG_08(ZV_EDI_MSGtype08 **a, const unsigned char **pp,
                                    long length);

ZV_EDI_MSGtype09 *ZV_EDI_MSG_09_new();
void ZV_EDI_MSG_09_free(ZV_EDI_MSGtype09 *a);
int i2d_ZV_EDI_MSG_signed(const ZV_EDI_MSGtype09 *a, unsigned char **pp);
ZV_EDI_MSGtype09 *d2i_ZV_EDI_MSG_signed(ZV_EDI_MSGtype09 **a, const unsigned char **pp,
                                        long length);

// ---- Status and receipt envelopes

// Status message: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT BIT STRING OPTIONAL }. The
// status pattern's unused-bit count is derived by the crypto library's encoder unless
// the value carries one.
typedef struct zv_status_msg_st {
  ASN1_OBJECT *zvStatusMessage;
  ASN1_BIT_STRING *zvStatus;
} ZV_STATUS_MSGtype;

// With-digest enhancement: SEQUENCE { OBJECT IDENTIFIER, OCTET STRING }.
typedef struct zv_receipt_msg01_st {
  ASN1_OBJECT *receiptDigestAlgorithm;
  ASN1_OCTET_STRING *receiptMessageDigest;
} ZV_RECEIPT_MSGtype01;

// With-signature enhancement: SEQUENCE { OBJECT IDENTIFIER, OCTET STRING }.
typedef struct zv_receipt_msg02_st {
  ASN1_OBJECT *receiptSignitureAlgorithm;
  ASN1_OCTET_STRING *receiptDigitalSigniture;
} ZV_RECEIPT_MSGtype02;

// Selector values of the enhancement CHOICE.
constexpr int ZV_ENHANCEMENT_NONE = -1;
constexpr int ZV_ENHANCEMENT_DIGEST = 1;
constexpr int ZV_ENHANCEMENT_SIGNATURE = 2;

// The enhancement CHOICE, without a header of its own: selector 1 writes [1] EXPLICIT
// type 01, selector 2 [2] EXPLICIT type 02, anything else (or a NULL member) nothing.
// The record owns the selected member. To select another, release the current one with
// ZV_RECEIPT_ENHANCEMENTS_dfree, then set `tag` and the member together.
typedef struct ZV_RECEIPT_ENHANCEMENTS_st {
  int tag;
  union {
    char *ptr;
    ZV_RECEIPT_MSGtype01 *WithDigest;
    ZV_RECEIPT_MSGtype02 *WithDigSig;
  } d;
} ZV_RECEIPT_ENHANCEMENTS;

// Receipt content: SEQUENCE { OCTET STRING, PrintableString, enhancement }.
typedef struct zv_receipt_msg03_st {
  ASN1_OCTET_STRING *isaSegment;
  ASN1_PRINTABLESTRING *dateTimeStamp;
  ZV_RECEIPT_ENHANCEMENTS *Enhancements;
} ZV_RECEIPT_MSGtype03;

// Receipt message: SEQUENCE { OBJECT IDENTIFIER, [0] EXPLICIT type 03 OPTIONAL }.
typedef struct zv_receipt_msg04_st {
  ASN1_OBJECT *zvReceiptMessage;
  ZV_RECEIPT_MSGtype03 *receiptContent;
} ZV_RECEIPT_MSGtype04;

ZV_STATUS_MSGtype *ZV_STATUS_MSG_new();
void ZV_STATUS_MSG_free(ZV_STATUS_MSGtype *a);
int i2d_ZV_STATUS_MSG(const ZV_STATUS_MSGtype *a, unsigned char **pp);
ZV_STATUS_MSGtype *d2i_ZV_STATUS_MSG(ZV_STATUS_MSGtype **a, const unsigned char **pp,
                                     long length);

ZV_RECEIPT_MSGtype01 *ZV_RECEIPT_MSG_01_new();
void ZV_RECEIPT_MSG_01_free(ZV_RECEIPT_MSGtype01 *a);
int i2d_ZV_RECEIPT_MSG_integrity(const ZV_RECEIPT_MSGtype01 *a, unsigned char **pp);
ZV_RECEIPT_MSGtype01 *d2i_ZV_RECEIPT_MSG_integrity(ZV_RECEIPT_MSGtype01 **a,
                                                   const unsigned char **pp, long length);

ZV_RECEIPT_MSGtype02 *ZV_RECEIPT_MSG_02_new();
void ZV_RECEIPT_MSG_02_free(ZV_RECEIPT_MSGtype02 *a);
int i2d_ZV_RECEIPT_MSG_signed(const ZV_RECEIPT_MSGtype02 *a, unsigned char **pp);
ZV_RECEIPT_MSGtype02 *d2i_ZV_RECEIPT_MSG_signed(ZV_RECEIPT_MSGtype02 **a,
                                                const unsigned char **pp, long length);

// A new enhancement selects nothing (-1); the builder creates the member it selects.
ZV_RECEIPT_ENHANCEMENTS *ZV_RECEIPT_ENHANCEMENTS_new();
void ZV_RECEIPT_ENHANCEMENTS_free(ZV_RECEIPT_ENHANCEMENTS *a);
// Releases the selected member and selects nothing; the record itself stays.
void ZV_RECEIPT_ENHANCEMENTS_dfree(ZV_RECEIPT_ENHANCEMENTS *a);
int i2d_ZV_RECEIPT_ENHANCEMENTS(const ZV_RECEIPT_ENHANCEMENTS *a, unsigned char **pp);
// Reads no header of its own. A length of 0 means no enhancement (success, selector -1,
// *pp unchanged); 0xA1 and 0xA2 select the members; any other first octet writes
// "Enhansement get ERROR. . . . . . . .\n" to standard error and fails with reason 104.
// Octets after the member are left to the caller; entries carry no offset.
ZV_RECEIPT_ENHANCEMENTS *d2i_ZV_RECEIPT_ENHANCEMENTS(ZV_RECEIPT_ENHANCEMENTS **a,
                                                     const unsigned char **pp, long length);

ZV_RECEIPT_MSGtype03 *ZV_RECEIPT_MSG_03_new();
void ZV_RECEIPT_MSG_03_free(ZV_RECEIPT_MSGtype03 *a);
// Releases only the enhancement and the record; `isaSegment` and `dateTimeStamp` stay
// with their lender.
void ZV_RECEIPT_MSG_03_free2(ZV_RECEIPT_MSGtype03 *a);
int i2d_ZV_RECEIPT_MSG_basic2(const ZV_RECEIPT_MSGtype03 *a, unsigned char **pp);
ZV_RECEIPT_MSGtype03 *d2i_ZV_RECEIPT_MSG_basic2(ZV_RECEIPT_MSGtype03 **a,
                                                const unsigned char **pp, long length);

ZV_RECEIPT_MSGtype04 *ZV_RECEIPT_MSG_04_new();
void ZV_RECEIPT_MSG_04_free(ZV_RECEIPT_MSGtype04 *a);
// Releases the identifier, the content by ZV_RECEIPT_MSG_03_free2, and the record.
void ZV_RECEIPT_MSG_04_free2(ZV_RECEIPT_MSGtype04 *a);
int i2d_ZV_RECEIPT_MSG_basic(const ZV_RECEIPT_MSGtype04 *a, unsigned char **pp);
ZV_RECEIPT_MSGtype04 *d2i_ZV_RECEIPT_MSG_basic(ZV_RECEIPT_MSGtype04 **a,
                                               const unsigned char **pp, long length);

// The record descriptions behind the operations above (for the fuzz targets and tests).
extern const zv_der_family zv_asn1_family;
extern const zv_der_type zv_edi01_type, zv_edi02_type, zv_edi03_type, zv_edi04_type,
    zv_edi04s_type, zv_edi05_type, zv_edi05s_type, zv_edi06_type, zv_edi07_type,
    zv_edi07a_type, zv_edi08_type, zv_edi09_type;
extern const zv_der_type zv_status_type, zv_receipt01_type, zv_receipt02_type,
    zv_enhancements_type, zv_receipt03_type, zv_receipt04_type;

#endif
