#include "tcif/tcif98-006v3b.h"

#include <atomic>

#include "tcif/tcif_family.h"

#define V3B_TYPES(X)                                                                     \
  X(v3_AlgorithmIdentifier) X(v3_SecureMessage) X(v3_SignerInfos)                        \
  X(v3_AlgorithmIdentifierX) X(v3_SignerInfosX) X(v3_SignedMessage) X(v3_IssuerCountry)  \
  X(v3_IssuerCountryX) X(v3_IssuerCountryXX) X(v3_IssuerOrg) X(v3_IssuerOrgX)            \
  X(v3_IssuerOrgXX) X(v3_IssuerAndSerialNumber) X(v3_ZvReceiptMessage)                   \
  X(v3_UniqueIdentifier) X(v3_WithDigSig)

namespace {

#define F ZV_DER_FIELD

const zv_der_field v3_AlgorithmIdentifier_fields[] = {
    F(v3_AlgorithmIdentifier, algorithm, zv_der_object),
    F(v3_AlgorithmIdentifier, parameters, zv_der_null),
};
const zv_der_field v3_SecureMessage_fields[] = {
    ZV_DER_ALT("signedMessage", V3_SECUREMESSAGE_SIGNED_MESSAGE, v3_SignedMessage_type, 1),
    ZV_DER_ALT("messageReceipt", V3_SECUREMESSAGE_MESSAGE_RECEIPT, v3_ZvReceiptMessage_type, 2),
};
const zv_der_field v3_SignerInfos_fields[] = {
    F(v3_SignerInfos, signerVersion, zv_der_integer),
    F(v3_SignerInfos, issuerAndSerialNumber, v3_IssuerAndSerialNumber_type),
    F(v3_SignerInfos, signedDigestAlgorithm, v3_AlgorithmIdentifier_type),
    F(v3_SignerInfos, digestEncryptionAlgorithm, v3_AlgorithmIdentifier_type),
    F(v3_SignerInfos, encryptedDigest, zv_der_octet_string),
};
const zv_der_field v3_AlgorithmIdentifierX_fields[] = {
    ZV_DER_SET_OF(v3_AlgorithmIdentifierX, v3_AlgorithmIdentifier, v3_AlgorithmIdentifier_type),
};
const zv_der_field v3_SignerInfosX_fields[] = {
    ZV_DER_SET_OF(v3_SignerInfosX, v3_SignerInfos, v3_SignerInfos_type),
};
const zv_der_field v3_SignedMessage_fields[] = {
    F(v3_SignedMessage, signedVersion, zv_der_integer),
    ZV_DER_SET_OF(v3_SignedMessage, v3_AlgorithmIdentifier, v3_AlgorithmIdentifier_type),
    F(v3_SignedMessage, signedContent, v3_BasicMessage_type),
    ZV_DER_SET_OF(v3_SignedMessage, v3_SignerInfos, v3_SignerInfos_type),
};
const zv_der_field v3_IssuerCountry_fields[] = {
    F(v3_IssuerCountry, country, zv_der_object),
    F(v3_IssuerCountry, countryValue, zv_der_printable_string),
};
const zv_der_field v3_IssuerCountryX_fields[] = {
    ZV_DER_SET_OF(v3_IssuerCountryX, v3_IssuerCountry, v3_IssuerCountry_type),
};
const zv_der_field v3_IssuerCountryXX_fields[] = {
    ZV_DER_SEQUENCE_OF(v3_IssuerCountryXX, v3_IssuerCountry, v3_IssuerCountry_type),
};
const zv_der_field v3_IssuerOrg_fields[] = {
    F(v3_IssuerOrg, organizationName, zv_der_object),
    F(v3_IssuerOrg, organizationValue, zv_der_printable_string),
};
const zv_der_field v3_IssuerOrgX_fields[] = {
    ZV_DER_SET_OF(v3_IssuerOrgX, v3_IssuerOrg, v3_IssuerOrg_type),
};
const zv_der_field v3_IssuerOrgXX_fields[] = {
    ZV_DER_SEQUENCE_OF(v3_IssuerOrgXX, v3_IssuerOrg, v3_IssuerOrg_type),
};
const zv_der_field v3_IssuerAndSerialNumber_fields[] = {
    ZV_DER_SEQUENCE_OF(v3_IssuerAndSerialNumber, v3_IssuerCountryX, v3_IssuerCountryX_type),
    ZV_DER_SEQUENCE_OF(v3_IssuerAndSerialNumber, v3_IssuerOrgX, v3_IssuerOrgX_type),
    F(v3_IssuerAndSerialNumber, serialNumber, zv_der_integer),
};
const zv_der_field v3_ZvReceiptMessage_fields[] = {
    F(v3_ZvReceiptMessage, uniqueIdentifier, v3_UniqueIdentifier_type),
    F(v3_ZvReceiptMessage, dateTimeStamp, zv_der_printable_string),
    ZV_DER_FIELD_F(v3_ZvReceiptMessage, enhancements, v3_WithDigSig_type,
                   ZV_DER_NULL_WHEN_ABSENT),
};
const zv_der_field v3_UniqueIdentifier_fields[] = {
    ZV_DER_ALT("isaSegment", V3_UNIQUEIDENTIFIER_ISA_SEGMENT, zv_der_octet_string, -1),
    ZV_DER_ALT("textHash", V3_UNIQUEIDENTIFIER_TEXT_HASH, zv_der_octet_string, 0),
    ZV_DER_ALT("xmlHash", V3_UNIQUEIDENTIFIER_XML_HASH, zv_der_octet_string, 1),
};
const zv_der_field v3_WithDigSig_fields[] = {
    F(v3_WithDigSig, receiptSignatureAlgorithm, zv_der_object),
    F(v3_WithDigSig, receiptDigitalSignature, zv_der_octet_string),
};

#undef F

}  // namespace

#define SEQ_TYPE(T) \
  const zv_der_type T##_type = ZV_TCIF_SEQUENCE_TYPE(T, T##_fields, &tcif_v3_family);
#define CHOICE_TYPE(T) \
  const zv_der_type T##_type = ZV_TCIF_CHOICE_TYPE(T, T##_fields, &tcif_v3_family);

SEQ_TYPE(v3_AlgorithmIdentifier)
CHOICE_TYPE(v3_SecureMessage)
SEQ_TYPE(v3_SignerInfos)
SEQ_TYPE(v3_AlgorithmIdentifierX)
SEQ_TYPE(v3_SignerInfosX)
SEQ_TYPE(v3_SignedMessage)
SEQ_TYPE(v3_IssuerCountry)
SEQ_TYPE(v3_IssuerCountryX)
SEQ_TYPE(v3_IssuerCountryXX)
SEQ_TYPE(v3_IssuerOrg)
SEQ_TYPE(v3_IssuerOrgX)
SEQ_TYPE(v3_IssuerOrgXX)
SEQ_TYPE(v3_IssuerAndSerialNumber)
SEQ_TYPE(v3_ZvReceiptMessage)
CHOICE_TYPE(v3_UniqueIdentifier)
SEQ_TYPE(v3_WithDigSig)

#undef SEQ_TYPE
#undef CHOICE_TYPE

V3B_TYPES(ZV_TCIF_DEFINE_NEW_FREE_D2I)

#define ADVANCING_I2D(T) \
  int i2d_##T(const T *a, unsigned char **pp) { return zv_der_i2d(&T##_type, a, pp); }
ADVANCING_I2D(v3_AlgorithmIdentifier)
ADVANCING_I2D(v3_SignerInfos)
ADVANCING_I2D(v3_AlgorithmIdentifierX)
ADVANCING_I2D(v3_SignerInfosX)
ADVANCING_I2D(v3_SignedMessage)
ADVANCING_I2D(v3_IssuerCountry)
ADVANCING_I2D(v3_IssuerCountryX)
ADVANCING_I2D(v3_IssuerCountryXX)
ADVANCING_I2D(v3_IssuerOrg)
ADVANCING_I2D(v3_IssuerOrgX)
ADVANCING_I2D(v3_IssuerOrgXX)
ADVANCING_I2D(v3_IssuerAndSerialNumber)
ADVANCING_I2D(v3_ZvReceiptMessage)
ADVANCING_I2D(v3_UniqueIdentifier)
ADVANCING_I2D(v3_WithDigSig)
#undef ADVANCING_I2D

// The basic-receipt builder takes the finished encoding from the cursor it passed in.
int i2d_v3_SecureMessage(const v3_SecureMessage *a, unsigned char **pp) {
  unsigned char *start = pp ? *pp : nullptr;
  int n = zv_der_i2d(&v3_SecureMessage_type, a, pp);
  if (pp) *pp = start;
  return n;
}

void v3_SecureMessage_dfree(v3_SecureMessage *a) {
  if (a) zv_der_choice_reset(&v3_SecureMessage_type, a);
}

void v3_UniqueIdentifier_dfree(v3_UniqueIdentifier *a) {
  if (a) zv_der_choice_reset(&v3_UniqueIdentifier_type, a);
}

const zv_der_type *const v3__SecurityModule_types[V3_SECURITY_MODULE_TYPE_COUNT] = {
#define ZV_TYPE_ENTRY(T) &T##_type,
    V3B_TYPES(ZV_TYPE_ENTRY)
#undef ZV_TYPE_ENTRY
};

namespace {
enum : int {
#define ZV_TYPE_INDEX(T) v3b_index_##T,
  V3B_TYPES(ZV_TYPE_INDEX)
#undef ZV_TYPE_INDEX
};
}  // namespace

const ERR_STRING_DATA v3__SecurityModule_str_funcs[V3_SECURITY_MODULE_STR_FUNCS_COUNT + 1] = {
#define ZV_TYPE_STRINGS(T) ZV_TCIF_STRINGS(T, v3b_index_##T)
    V3B_TYPES(ZV_TYPE_STRINGS)
#undef ZV_TYPE_STRINGS
    {0, nullptr},
};

void ERR_load_v3__SecurityModule_strings() {
  static std::atomic<int> init{1};
  if (init.exchange(0)) ERR_load_strings_const(v3__SecurityModule_str_funcs);
}
