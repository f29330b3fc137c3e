#include "codec/zv_asn1.h"

#include <cstdio>

#include <openssl/crypto.h>

// The family's rules: every member that is not OPTIONAL is required, empty lists are
// written (31 00), lists are cleared before a decode, and the enhancement CHOICE treats
// no octets as "no enhancement" and reports an unknown first octet.
const zv_der_family zv_asn1_family = {
    "zv", ZV_DER_F_CHOICE_EMPTY_ABSENT, ZV_DER_R_UNKNOWN_CHOICE,
    "Enhansement get ERROR. . . . . . . .\n"};

#define F ZV_DER_FIELD
#define OPT0(T, m, type_) ZV_DER_EXPLICIT(T, m, type_, 0, ZV_DER_OPTIONAL)

// ---------------------------------------------------------------------------------
// Record descriptions, one table per type, fields in encoding order.

namespace {

const zv_der_field edi01_fields[] = {
    F(ZV_EDI_MSGtype01, ediMsgId, zv_der_object),
    OPT0(ZV_EDI_MSGtype01, ediContent, zv_der_octet_string),
};
const zv_der_field edi02_fields[] = {
    F(ZV_EDI_MSGtype02, ediIntegrityVersion, zv_der_integer),
    F(ZV_EDI_MSGtype02, ediIntegrityAlgorithmId, zv_der_object),
    F(ZV_EDI_MSGtype02, ediInnerContent, zv_edi01_type),
    F(ZV_EDI_MSGtype02, ediIntegrityDigest, zv_der_octet_string),
};
const zv_der_field edi03_fields[] = {
    F(ZV_EDI_MSGtype03, ediIntegrityMessageId, zv_der_object),
    OPT0(ZV_EDI_MSGtype03, ediIntegrityContent, zv_edi02_type),
};
const zv_der_field edi04_fields[] = {
    F(ZV_EDI_MSGtype04, country, zv_der_object),
    F(ZV_EDI_MSGtype04, countryValue, zv_der_printable_string),
};
const zv_der_field edi04s_fields[] = {
    ZV_DER_SET_OF(ZV_EDI_MSGtype04S, countryEntries, zv_edi04_type),
};
const zv_der_field edi05_fields[] = {
    F(ZV_EDI_MSGtype05, organizationName, zv_der_object),
    F(ZV_EDI_MSGtype05, organizationValue, zv_der_printable_string),
};
const zv_der_field edi05s_fields[] = {
    ZV_DER_SET_OF(ZV_EDI_MSGtype05S, orgEntries, zv_edi05_type),
};
const zv_der_field edi06_fields[] = {
    F(ZV_EDI_MSGtype06, issuerCountryS, zv_edi04s_type),
    F(ZV_EDI_MSGtype06, issuerOrgS, zv_edi05s_type),
    F(ZV_EDI_MSGtype06, serialNumber, zv_der_integer),
};
const zv_der_field edi07_fields[] = {
    F(ZV_EDI_MSGtype07, signerVersion, zv_der_integer),
    F(ZV_EDI_MSGtype07, issuerAndSerialNumber, zv_edi06_type),
    F(ZV_EDI_MSGtype07, signedDigestAlgorithm, zv_der_object),
    F(ZV_EDI_MSGtype07, digestEncryptionAlgorithm, zv_der_object),
    F(ZV_EDI_MSGtype07, encryptedDigest, zv_der_octet_string),
};
const zv_der_field edi07a_fields[] = {
    F(ZV_EDI_MSGtype07A, algorithmIdentifier, zv_der_object),
};
const zv_der_field edi08_fields[] = {
    F(ZV_EDI_MSGtype08, signedVersion, zv_der_integer),
    ZV_DER_SET_OF(ZV_EDI_MSGtype08, signedDigestAlgorithmS, zv_edi07a_type),
    F(ZV_EDI_MSGtype08, innerContent, zv_edi01_type),
    ZV_DER_SET_OF(ZV_EDI_MSGtype08, signerInfoS, zv_edi07_type),
};
const zv_der_field edi09_fields[] = {
    F(ZV_EDI_MSGtype09, signedEDImessage, zv_der_object),
    OPT0(ZV_EDI_MSGtype09, signedContent, zv_edi08_type),
};

const zv_der_field status_fields[] = {
    F(ZV_STATUS_MSGtype, zvStatusMessage, zv_der_object),
    OPT0(ZV_STATUS_MSGtype, zvStatus, zv_der_bit_string),
};
const zv_der_field receipt01_fields[] = {
    F(ZV_RECEIPT_MSGtype01, receiptDigestAlgorithm, zv_der_object),
    F(ZV_RECEIPT_MSGtype01, receiptMessageDigest, zv_der_octet_string),
};
const zv_der_field receipt02_fields[] = {
    F(ZV_RECEIPT_MSGtype02, receiptSignitureAlgorithm, zv_der_object),
    F(ZV_RECEIPT_MSGtype02, receiptDigitalSigniture, zv_der_octet_string),
};
const zv_der_field enhancement_alts[] = {
    ZV_DER_ALT("WithDigest", ZV_ENHANCEMENT_DIGEST, zv_receipt01_type, 1),
    ZV_DER_ALT("WithDigSig", ZV_ENHANCEMENT_SIGNATURE, zv_receipt02_type, 2),
};
const zv_der_field receipt03_fields[] = {
    F(ZV_RECEIPT_MSGtype03, isaSegment, zv_der_octet_string),
    F(ZV_RECEIPT_MSGtype03, dateTimeStamp, zv_der_printable_string),
    F(ZV_RECEIPT_MSGtype03, Enhancements, zv_enhancements_type),
};
const zv_der_field receipt04_fields[] = {
    F(ZV_RECEIPT_MSGtype04, zvReceiptMessage, zv_der_object),
    OPT0(ZV_RECEIPT_MSGtype04, receiptContent, zv_receipt03_type),
};

}  // namespace

#define SEQ(T, fields, new_f, d2i_f) ZV_DER_SEQUENCE_TYPE(T, fields, &zv_asn1_family, new_f, d2i_f)

// The names are the operations' own; they travel as the function of each error entry.
const zv_der_type zv_edi01_type =
    SEQ(ZV_EDI_MSGtype01, edi01_fields, "ZV_EDI_MSG_01_new", "d2i_ZV_EDI_MSG_basic");
const zv_der_type zv_edi02_type =
    SEQ(ZV_EDI_MSGtype02, edi02_fields, "ZV_EDI_MSG_02_new", "d2i_ZV_EDI_MSG_integrity2");
const zv_der_type zv_edi03_type =
    SEQ(ZV_EDI_MSGtype03, edi03_fields, "ZV_EDI_MSG_03_new", "d2i_ZV_EDI_MSG_integrity");
const zv_der_type zv_edi04_type =
    SEQ(ZV_EDI_MSGtype04, edi04_fields, "ZV_EDI_MSG_04_new", "d2i_ZV_EDI_MSG_04");
const zv_der_type zv_edi04s_type =
    SEQ(ZV_EDI_MSGtype04S, edi04s_fields, "ZV_EDI_MSG_04S_new", "d2i_ZV_EDI_MSG_04S");
const zv_der_type zv_edi05_type =
    SEQ(ZV_EDI_MSGtype05, edi05_fields, "ZV_EDI_MSG_05_new", "d2i_ZV_EDI_MSG_05");
const zv_der_type zv_edi05s_type =
    SEQ(ZV_EDI_MSGtype05S, edi05s_fields, "ZV_EDI_MSG_05S_new", "d2i_ZV_EDI_MSG_05S");
const zv_der_type zv_edi06_type =
    SEQ(ZV_EDI_MSGtype06, edi06_fields, "ZV_EDI_MSG_06_new", "d2i_ZV_EDI_MSG_06");
const zv_der_type zv_edi07_type =
    SEQ(ZV_EDI_MSGtype07, edi07_fields, "ZV_EDI_MSG_07_new", "d2i_ZV_EDI_MSG_07");
const zv_der_type zv_edi07a_type = ZV_DER_BARE_TYPE(
    ZV_EDI_MSGtype07A, edi07a_fields, &zv_asn1_family, "ZV_EDI_MSG_07A_new", "d2i_ZV_EDI_MSG_07A");
const zv_der_type zv_edi08_type =
    SEQ(ZV_EDI_MSGtype08, edi08_fields, "ZV_EDI_MSG_08_new", "d2i_ZV_EDI_MSG_08");
const zv_der_type zv_edi09_type =
    SEQ(ZV_EDI_MSGtype09, edi09_fields, "ZV_EDI_MSG_09_new", "d2i_ZV_EDI_MSG_signed");

const zv_der_type zv_status_type =
    SEQ(ZV_STATUS_MSGtype, status_fields, "ZV_STATUS_MSG_new", "d2i_ZV_STATUS_MSG");
const zv_der_type zv_receipt01_type = SEQ(ZV_RECEIPT_MSGtype01, receipt01_fields,
                                          "ZV_RECEIPT_MSG_01_new", "d2i_ZV_RECEIPT_MSG_integrity");
const zv_der_type zv_receipt02_type = SEQ(ZV_RECEIPT_MSGtype02, receipt02_fields,
                                          "ZV_RECEIPT_MSG_02_new", "d2i_ZV_RECEIPT_MSG_signed");
const zv_der_type zv_enhancements_type =
    ZV_DER_CHOICE_TYPE(ZV_RECEIPT_ENHANCEMENTS, tag, d, enhancement_alts, &zv_asn1_family,
                       "ZV_RECEIPT_ENHANCEMENTS_new", "d2i_ZV_RECEIPT_ENHANCEMENTS");
const zv_der_type zv_receipt03_type = SEQ(ZV_RECEIPT_MSGtype03, receipt03_fields,
                                          "ZV_RECEIPT_MSG_03_new", "d2i_ZV_RECEIPT_MSG_basic2");
const zv_der_type zv_receipt04_type = SEQ(ZV_RECEIPT_MSGtype04, receipt04_fields,
                                          "ZV_RECEIPT_MSG_04_new", "d2i_ZV_RECEIPT_MSG_basic");

// ---------------------------------------------------------------------------------
// The named operations: four per type, each a call of the walker with the type's table.

#define ZV_ASN1_OPERATIONS(T, desc, new_fn, free_fn, i2d_fn, d2i_fn)                  \
  T *new_fn() { return static_cast<T *>(zv_der_new(&desc)); }                        \
  void free_fn(T *a) { zv_der_free(&desc, a); }                                      \
  int i2d_fn(const T *a, unsigned char **pp) { return zv_der_i2d(&desc, a, pp); }    \
  T *d2i_fn(T **a, const unsigned char **pp, long length) {                         \
    return static_cast<T *>(zv_der_d2i(&desc, reinterpret_cast<void **>(a), pp, length)); \
  }

ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype01, zv_edi01_type, ZV_EDI_MSG_01_new, ZV_EDI_MSG_01_free,
                   i2d_ZV_EDI_MSG_basic, d2i_ZV_EDI_MSG_basic)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype02, zv_edi02_type, ZV_EDI_MSG_02_new, ZV_EDI_MSG_02_free,
                   i2d_ZV_EDI_MSG_integrity2, d2i_ZV_EDI_MSG_integrity2)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype03, zv_edi03_type, ZV_EDI_MSG_03_new, ZV_EDI_MSG_03_free,
                   i2d_ZV_EDI_MSG_integrity, d2i_ZV_EDI_MSG_integrity)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype04, zv_edi04_type, ZV_EDI_MSG_04_new, ZV_EDI_MSG_04_free,
                   i2d_ZV_EDI_MSG_04, d2i_ZV_EDI_MSG_04)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype04S, zv_edi04s_type, ZV_EDI_MSG_04S_new, ZV_EDI_MSG_04S_free,
                   i2d_ZV_EDI_MSG_04S, d2i_ZV_EDI_MSG_04S)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype05, zv_edi05_type, ZV_EDI_MSG_05_new, ZV_EDI_MSG_05_free,
                   i2d_ZV_EDI_MSG_05, d2i_ZV_EDI_MSG_05)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype05S, zv_edi05s_type, ZV_EDI_MSG_05S_new, ZV_EDI_MSG_05S_free,
                   i2d_ZV_EDI_MSG_05S, d2i_ZV_EDI_MSG_05S)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype06, zv_edi06_type, ZV_EDI_MSG_06_new, ZV_EDI_MSG_06_free,
                   i2d_ZV_EDI_MSG_06, d2i_ZV_EDI_MSG_06)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype07, zv_edi07_type, ZV_EDI_MSG_07_new, ZV_EDI_MSG_07_free,
                   i2d_ZV_EDI_MSG_07, d2i_ZV_EDI_MSG_07)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype07A, zv_edi07a_type, ZV_EDI_MSG_07A_new, ZV_EDI_MSG_07A_free,
                   i2d_ZV_EDI_MSG_07A, d2i_ZV_EDI_MSG_07A)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype08, zv_edi08_type, ZV_EDI_MSG_08_new, ZV_EDI_MSG_08_free,
                   i2d_ZV_EDI_MSG_08, d2i_ZV_EDI_MSG_08)
ZV_ASN1_OPERATIONS(ZV_EDI_MSGtype09, zv_edi09_type, ZV_EDI_MSG_09_new, ZV_EDI_MSG_09_free,
                   i2d_ZV_EDI_MSG_signed, d2i_ZV_EDI_MSG_signed)
ZV_ASN1_OPERATIONS(ZV_STATUS_MSGtype, zv_status_type, ZV_STATUS_MSG_new, ZV_STATUS_MSG_free,
                   i2d_ZV_STATUS_MSG, d2i_ZV_STATUS_MSG)
ZV_ASN1_OPERATIONS(ZV_RECEIPT_MSGtype01, zv_receipt01_type, ZV_RECEIPT_MSG_01_new,
                   ZV_RECEIPT_MSG_01_free, i2d_ZV_RECEIPT_MSG_integrity,
                   d2i_ZV_RECEIPT_MSG_integrity)
ZV_ASN1_OPERATIONS(ZV_RECEIPT_MSGtype02, zv_receipt02_type, ZV_RECEIPT_MSG_02_new,
                   ZV_RECEIPT_MSG_02_free, i2d_ZV_RECEIPT_MSG_signed, d2i_ZV_RECEIPT_MSG_signed)
ZV_ASN1_OPERATIONS(ZV_RECEIPT_ENHANCEMENTS, zv_enhancements_type, ZV_RECEIPT_ENHANCEMENTS_new,
                   ZV_RECEIPT_ENHANCEMENTS_free, i2d_ZV_RECEIPT_ENHANCEMENTS,
                   d2i_ZV_RECEIPT_ENHANCEMENTS)
ZV_ASN1_OPERATIONS(ZV_RECEIPT_MSGtype03, zv_receipt03_type, ZV_RECEIPT_MSG_03_new,
                   ZV_RECEIPT_MSG_03_free, i2d_ZV_RECEIPT_MSG_basic2, d2i_ZV_RECEIPT_MSG_basic2)
ZV_ASN1_OPERATIONS(ZV_RECEIPT_MSGtype04, zv_receipt04_type, ZV_RECEIPT_MSG_04_new,
                   ZV_RECEIPT_MSG_04_free, i2d_ZV_RECEIPT_MSG_basic, d2i_ZV_RECEIPT_MSG_basic)

// ---------------------------------------------------------------------------------
// The release operations that leave lent values alone.

void ZV_EDI_MSG_01_free2(ZV_EDI_MSGtype01 *a) {
  if (!a) return;
  ASN1_OBJECT_free(a->ediMsgId);
  OPENSSL_free(a);
}

void ZV_RECEIPT_ENHANCEMENTS_dfree(ZV_RECEIPT_ENHANCEMENTS *a) {
  if (!a) {
    fprintf(stderr, "ASSERT Failed: %s: line %d\n", __FILE__, __LINE__);
    return;
  }
  zv_der_choice_reset(&zv_enhancements_type, a);
}

void ZV_RECEIPT_MSG_03_free2(ZV_RECEIPT_MSGtype03 *a) {
  if (!a) return;
  ZV_RECEIPT_ENHANCEMENTS_free(a->Enhancements);
  OPENSSL_free(a);
}

void ZV_RECEIPT_MSG_04_free2(ZV_RECEIPT_MSGtype04 *a) {
  if (!a) return;
  ASN1_OBJECT_free(a->zvReceiptMessage);
  ZV_RECEIPT_MSG_03_free2(a->receiptContent);
  OPENSSL_free(a);
}
