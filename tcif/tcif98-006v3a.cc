#include "tcif/tcif98-006v3a.h"

#include <atomic>

#include "tcif/tcif_family.h"

#define V3A_TYPES(X) X(v3_ZvMessage) X(v3_BasicMessage)

const zv_der_family tcif_v3_family = {"TCIF-98-006 Issue 3", ZV_TCIF_V3_FAMILY_FLAGS, 0,
                                      nullptr};

namespace {

const zv_der_field v3_ZvMessage_fields[] = {
    ZV_DER_ALT("basicMessage2", V3_ZVMESSAGE_BASIC_MESSAGE2, zv_der_ia5_string, -1),
    ZV_DER_ALT("basicMessage3", V3_ZVMESSAGE_BASIC_MESSAGE3, zv_der_ia5_string, 0),
    ZV_DER_ALT("basicMessage4", V3_ZVMESSAGE_BASIC_MESSAGE4, zv_der_ia5_string, 1),
    ZV_DER_ALT("zvStatusMessage", V3_ZVMESSAGE_ZV_STATUS_MESSAGE, zv_der_bit_string, -1),
    ZV_DER_ALT("enhancedMessage", V3_ZVMESSAGE_ENHANCED_MESSAGE, zv_der_octet_string, -1),
};
const zv_der_field v3_BasicMessage_fields[] = {
    ZV_DER_ALT("basicMessage2", V3_BASICMESSAGE_BASIC_MESSAGE2, zv_der_ia5_string, -1),
    ZV_DER_ALT("basicMessage3", V3_BASICMESSAGE_BASIC_MESSAGE3, zv_der_ia5_string, 0),
    ZV_DER_ALT("basicMessage4", V3_BASICMESSAGE_BASIC_MESSAGE4, zv_der_ia5_string, 1),
};

}  // namespace

const zv_der_type v3_ZvMessage_type =
    ZV_TCIF_CHOICE_TYPE(v3_ZvMessage, v3_ZvMessage_fields, &tcif_v3_family);
const zv_der_type v3_BasicMessage_type =
    ZV_TCIF_CHOICE_TYPE(v3_BasicMessage, v3_BasicMessage_fields, &tcif_v3_family);

V3A_TYPES(ZV_TCIF_DEFINE_OPERATIONS)

void v3_ZvMessage_dfree(v3_ZvMessage *a) {
  if (a) zv_der_choice_reset(&v3_ZvMessage_type, a);
}

void v3_BasicMessage_dfree(v3_BasicMessage *a) {
  if (a) zv_der_choice_reset(&v3_BasicMessage_type, a);
}

const zv_der_type *const v3__InteractiveAgent_types[V3_INTERACTIVE_AGENT_TYPE_COUNT] = {
#define ZV_TYPE_ENTRY(T) &T##_type,
    V3A_TYPES(ZV_TYPE_ENTRY)
#undef ZV_TYPE_ENTRY
};

namespace {
enum : int {
#define ZV_TYPE_INDEX(T) v3a_index_##T,
  V3A_TYPES(ZV_TYPE_INDEX)
#undef ZV_TYPE_INDEX
};
}  // namespace

const ERR_STRING_DATA v3__InteractiveAgent_str_funcs[V3_INTERACTIVE_AGENT_STR_FUNCS_COUNT + 1] = {
#define ZV_TYPE_STRINGS(T) ZV_TCIF_STRINGS(T, v3a_index_##T)
    V3A_TYPES(ZV_TYPE_STRINGS)
#undef ZV_TYPE_STRINGS
    {0, nullptr},
};

void ERR_load_v3__InteractiveAgent_strings() {
  static std::atomic<int> init{1};
  if (init.exchange(0)) ERR_load_strings_const(v3__InteractiveAgent_str_funcs);
}
