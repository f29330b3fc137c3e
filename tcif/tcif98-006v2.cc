#include "tcif/tcif98-006v2.h"

#include <atomic>

#include "tcif/tcif_family.h"

// The module's types in the module's order; the position fixes the function codes.
#define ZOLVARV2_TYPES(X)                                                                 \
  X(PlainEDImessage) X(IntegrityEDImessage) X(IntegrityContent) X(InnerContent)           \
  X(SignedEDImessage) X(AlgorithmIdentifierX) X(SignerInfosX) X(SignedContent)            \
  X(SignerInfos) X(IssuerCountryXX) X(IssuerOrgXX) X(IssuerAndSerialNumber)               \
  X(IssuerCountryX) X(IssuerCountry) X(IssuerOrgX) X(IssuerOrg) X(ZvStatusMessage)        \
  X(ZvReceiptMessage) X(ReceiptContent) X(Enhancements) X(WithDigest) X(WithDigSig)

namespace {

// Issue 2: field tests, empty lists left out, lists appended to, 02 00 for a fresh
// INTEGER; a CHOICE that fails inside its alternative selects nothing again, and its
// entries carry no offset.
const zv_der_family v2_family = {"TCIF-98-006 Issue 2", ZV_TCIF_FAMILY_FLAGS, 0, nullptr};

#define F ZV_DER_FIELD
#define EXP0(T, m, type_) ZV_DER_EXPLICIT(T, m, type_, 0, 0)

const zv_der_field PlainEDImessage_fields[] = {
    F(PlainEDImessage, plainEDImessage, zv_der_object),
    EXP0(PlainEDImessage, ediContent, zv_der_octet_string),
};
const zv_der_field IntegrityEDImessage_fields[] = {
    F(IntegrityEDImessage, integrityEDImessage, zv_der_object),
    EXP0(IntegrityEDImessage, integrityContent, IntegrityContent_type),
};
const zv_der_field IntegrityContent_fields[] = {
    F(IntegrityContent, integrityVersion, zv_der_integer),
    F(IntegrityContent, integrityAlgorithmIdentifier, zv_der_algor),
    F(IntegrityContent, innerContent, InnerContent_type),
    F(IntegrityContent, integrityDigest, zv_der_octet_string),
};
const zv_der_field InnerContent_fields[] = {
    F(InnerContent, plainEDImessage, zv_der_object),
    EXP0(InnerContent, ediContent, zv_der_octet_string),
};
const zv_der_field SignedEDImessage_fields[] = {
    F(SignedEDImessage, signedEDImessage, zv_der_object),
    EXP0(SignedEDImessage, signedContent, SignedContent_type),
};
const zv_der_field AlgorithmIdentifierX_fields[] = {
    ZV_DER_SET_OF(AlgorithmIdentifierX, X509_ALGOR, zv_der_algor),
};
const zv_der_field SignerInfosX_fields[] = {
    ZV_DER_SET_OF(SignerInfosX, SignerInfos, SignerInfos_type),
};
const zv_der_field SignedContent_fields[] = {
    F(SignedContent, signedVersion, zv_der_integer),
    ZV_DER_SET_OF(SignedContent, X509_ALGOR, zv_der_algor),
    F(SignedContent, innerContent, InnerContent_type),
    ZV_DER_SET_OF(SignedContent, SignerInfos, SignerInfos_type),
};
const zv_der_field SignerInfos_fields[] = {
    F(SignerInfos, signerVersion, zv_der_integer),
    F(SignerInfos, issuerAndSerialNumber, IssuerAndSerialNumber_type),
    F(SignerInfos, signedDigestAlgorithm, zv_der_algor),
    F(SignerInfos, digestEncryptionAlgorithm, zv_der_algor),
    F(SignerInfos, encryptedDigest, zv_der_octet_string),
};
const zv_der_field IssuerCountryXX_fields[] = {
    ZV_DER_SEQUENCE_OF(IssuerCountryXX, IssuerCountry, IssuerCountry_type),
};
const zv_der_field IssuerOrgXX_fields[] = {
    ZV_DER_SEQUENCE_OF(IssuerOrgXX, IssuerOrg, IssuerOrg_type),
};
const zv_der_field IssuerAndSerialNumber_fields[] = {
    ZV_DER_SEQUENCE_OF(IssuerAndSerialNumber, IssuerCountryX, IssuerCountryX_type),
    ZV_DER_SEQUENCE_OF(IssuerAndSerialNumber, IssuerOrgX, IssuerOrgX_type),
    F(IssuerAndSerialNumber, serialNumber, zv_der_integer),
};
const zv_der_field IssuerCountryX_fields[] = {
    ZV_DER_SET_OF(IssuerCountryX, IssuerCountry, IssuerCountry_type),
};
const zv_der_field IssuerCountry_fields[] = {
    F(IssuerCountry, country, zv_der_object),
    F(IssuerCountry, countryValue, zv_der_printable_string),
};
const zv_der_field IssuerOrgX_fields[] = {
    ZV_DER_SET_OF(IssuerOrgX, IssuerOrg, IssuerOrg_type),
};
const zv_der_field IssuerOrg_fields[] = {
    F(IssuerOrg, organizationName, zv_der_object),
    F(IssuerOrg, organizationValue, zv_der_printable_string),
};
const zv_der_field ZvStatusMessage_fields[] = {
    F(ZvStatusMessage, zvStatusMessage, zv_der_object),
    EXP0(ZvStatusMessage, zvStatus, zv_der_bit_string),
};
const zv_der_field ZvReceiptMessage_fields[] = {
    F(ZvReceiptMessage, zvReceiptMessage, zv_der_object),
    EXP0(ZvReceiptMessage, receiptContent, ReceiptContent_type),
};
const zv_der_field ReceiptContent_fields[] = {
    F(ReceiptContent, isaSegment, zv_der_octet_string),
    F(ReceiptContent, dateTimeStamp, zv_der_printable_string),
    ZV_DER_FIELD_F(ReceiptContent, enhancements, Enhancements_type, ZV_DER_NULL_WHEN_ABSENT),
};
const zv_der_field Enhancements_fields[] = {
    ZV_DER_ALT("withDigest", ENHANCEMENTS_WITH_DIGEST, WithDigest_type, 1),
    ZV_DER_ALT("withDigSig", ENHANCEMENTS_WITH_DIGSIG, WithDigSig_type, 2),
};
const zv_der_field WithDigest_fields[] = {
    F(WithDigest, receiptDigestAlgorithm, zv_der_object),
    F(WithDigest, receiptMessageDigest, zv_der_octet_string),
};
const zv_der_field WithDigSig_fields[] = {
    F(WithDigSig, receiptSignatureAlgorithm, zv_der_object),
    F(WithDigSig, receiptDigitalSignature, zv_der_octet_string),
};

#undef F
#undef EXP0

}  // namespace

// ---------------------------------------------------------------------------------
// Record descriptions and the named operations over them.

#define SEQ_TYPE(T) \
  const zv_der_type T##_type = ZV_TCIF_SEQUENCE_TYPE(T, T##_fields, &v2_family);

SEQ_TYPE(PlainEDImessage)
SEQ_TYPE(IntegrityEDImessage)
SEQ_TYPE(IntegrityContent)
SEQ_TYPE(InnerContent)
SEQ_TYPE(SignedEDImessage)
SEQ_TYPE(AlgorithmIdentifierX)
SEQ_TYPE(SignerInfosX)
SEQ_TYPE(SignedContent)
SEQ_TYPE(SignerInfos)
SEQ_TYPE(IssuerCountryXX)
SEQ_TYPE(IssuerOrgXX)
SEQ_TYPE(IssuerAndSerialNumber)
SEQ_TYPE(IssuerCountryX)
SEQ_TYPE(IssuerCountry)
SEQ_TYPE(IssuerOrgX)
SEQ_TYPE(IssuerOrg)
SEQ_TYPE(ZvStatusMessage)
SEQ_TYPE(ZvReceiptMessage)
SEQ_TYPE(ReceiptContent)
const zv_der_type Enhancements_type =
    ZV_TCIF_CHOICE_TYPE(Enhancements, Enhancements_fields, &v2_family);
SEQ_TYPE(WithDigest)
SEQ_TYPE(WithDigSig)

#undef SEQ_TYPE

ZOLVARV2_TYPES(ZV_TCIF_DEFINE_OPERATIONS)

void Enhancements_dfree(Enhancements *a) {
  if (a) zv_der_choice_reset(&Enhancements_type, a);
}

const zv_der_type *const ZOLVARv2_types[ZOLVARv2_TYPE_COUNT] = {
#define ZV_TYPE_ENTRY(T) &T##_type,
    ZOLVARV2_TYPES(ZV_TYPE_ENTRY)
#undef ZV_TYPE_ENTRY
};

// ---------------------------------------------------------------------------------
// Error strings

namespace {
enum : int {
#define ZV_TYPE_INDEX(T) v2_index_##T,
  ZOLVARV2_TYPES(ZV_TYPE_INDEX)
#undef ZV_TYPE_INDEX
};
}  // namespace

const ERR_STRING_DATA ZOLVARv2_str_funcs[ZOLVARv2_STR_FUNCS_COUNT + 1] = {
#define ZV_TYPE_STRINGS(T) ZV_TCIF_STRINGS(T, v2_index_##T)
    ZOLVARV2_TYPES(ZV_TYPE_STRINGS)
#undef ZV_TYPE_STRINGS
    {0, nullptr},
};

void ERR_load_ZOLVARv2_strings() {
  static std::atomic<int> init{1};
  if (init.exchange(0)) ERR_load_strings_const(ZOLVARv2_str_funcs);
}
