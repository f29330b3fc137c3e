#include "codec/zv_oids.h"

#include <cstring>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"

const char zv_oid_table[] =
    "1.2.840.113549.1.1.5       RSA_SHA1     receiptSignitureAlgorthm \n"
    "1.3.6.1.4.1.3576.7         ZV_X12       eczvAscX12Edi \n"
    "1.3.6.1.4.1.3576.8         ZV_EDIFACT   eczvEdifact \n"
    "1.3.6.1.4.1.3576.9         ZV_NON_EDI   eczvNonEdi \n"
    "1.3.6.1.4.1.3576.7.1       ZV_EDI_1     plainEDImessage \n"
    "1.3.6.1.4.1.3576.7.2       ZV_EDI_2     signedEDImessage \n"
    "1.3.6.1.4.1.3576.7.5       ZV_EDI_3     integrityEDImessage \n"
    "1.3.6.1.4.1.3576.7.65      ZV_R_1       zvReceiptMessage \n"
    "1.3.6.1.4.1.3576.7.97      ZV_S_1       zvStatusMessage \n"
    "1.3.14.3.2.26              SHA1         SHA1digestAlgorthm \n"
    "1.2.840.10067.32\tZV_V3_BASIC\tbasicZVmessage \n"
    "1.2.840.10068.32\tZV_V3_ENHAN\tzvEnhancedMessage \n"
    "\n";
static_assert(sizeof zv_oid_table - 1 == ZV_OID_TABLE_LENGTH);

namespace {

constexpr int kLineSize = 512;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct obj_free {
  void operator()(ASN1_OBJECT *o) const { ASN1_OBJECT_free(o); }
};
using obj_ptr = std::unique_ptr<ASN1_OBJECT, obj_free>;

// A name is free, or already names this identifier.
bool name_fits(const ASN1_OBJECT *known, int found) {
  if (found == NID_undef) return true;
  const ASN1_OBJECT *o = OBJ_nid2obj(found);
  return o && OBJ_cmp(o, known) == 0;
}

// OpenSSL 3 refuses an identifier or a name that its registry knows. For an identifier
// it knows, the names of the row that are still free are added as a further entry with
// the same identifier, so that they resolve to it. The registry looks identifiers up in
// its added entries first, so the identifier is then handed back to the entry that held
// it: the library and everyone else keep seeing its own object (and its own names) for
// those octets.
bool register_row_marked(const char *oid, const char *sn, const char *ln) {
  if (OBJ_create(oid, sn, ln)) return true;
  obj_ptr known(OBJ_txt2obj(oid, 1));
  int nid = known ? OBJ_obj2nid(known.get()) : NID_undef;
  if (nid == NID_undef) return false;
  int sn_nid = sn ? OBJ_sn2nid(sn) : NID_undef;
  int ln_nid = ln ? OBJ_ln2nid(ln) : NID_undef;
  if (!name_fits(known.get(), sn_nid) || !name_fits(known.get(), ln_nid)) return false;
  const char *new_sn = sn && sn_nid == NID_undef ? sn : nullptr;
  const char *new_ln = ln && ln_nid == NID_undef ? ln : nullptr;
  if (!new_sn && !new_ln) return true;
  unsigned char *data = const_cast<unsigned char *>(OBJ_get0_data(known.get()));
  int len = static_cast<int>(OBJ_length(known.get()));
  obj_ptr alias(ASN1_OBJECT_create(OBJ_new_nid(1), data, len, new_sn, new_ln));
  obj_ptr holder(ASN1_OBJECT_create(nid, data, len, OBJ_nid2sn(nid), OBJ_nid2ln(nid)));
  if (!alias || !holder || OBJ_add_object(alias.get()) == NID_undef) return false;
  return OBJ_add_object(holder.get()) != NID_undef && OBJ_obj2nid(known.get()) == nid;
}

// Refusals are answered by the count alone: the library's entries for them are dropped.
bool register_row(const char *oid, const char *sn, const char *ln) {
  ERR_set_mark();
  bool ok = register_row_marked(oid, sn, ln);
  ERR_pop_to_mark();
  return ok;
}

}  // namespace

int OBJ_create_objects2(const char *in) {
  int count = 0;
  if (!in) return 0;
  const char *p = in;
  while (*p) {
    char buf[kLineSize];
    const char *nl = strchr(p, '\n');
    size_t len = nl ? static_cast<size_t>(nl - p) : strlen(p);
    size_t keep = len < sizeof buf - 1 ? len : sizeof buf - 1;
    memcpy(buf, p, keep);
    buf[keep] = '\0';
    p = nl ? nl + 1 : p + len;

    char *s = buf;
    if (!is_alnum(*s)) return count;
    char *o = s;
    char *sn = nullptr;
    char *ln = nullptr;
    while (*s && (is_digit(*s) || *s == '.')) ++s;
    if (*s) {
      *s++ = '\0';
      while (*s && is_space(*s)) ++s;
      if (*s) {
        sn = s;
        while (*s && !is_space(*s)) ++s;
        if (*s) {
          *s++ = '\0';
          while (*s && is_space(*s)) ++s;
          if (*s) ln = s;
        }
      }
    }
    if (!*o) return count;
    zv_log(16, "oid = %s\n", o);
    zv_log(16, "  short name = %s\n", sn ? sn : "null");
    zv_log(16, "  long name = %s\n", ln ? ln : "null");
    if (!register_row(o, sn, ln)) return count;
    ++count;
  }
  return count;
}

void load_zvObjectIdentifiers() {
  zv_log(16, "++ ZV specific ASN.1 Object Identifiers +++\n");
  if (debug_level & 16) dump_raw_input(zv_oid_table, ZV_OID_TABLE_LENGTH);
  zv_log(16, "++++++ End of ZV ASN.1 OIDs +++++++++++++++\n");
  zv_log(16, "Adding ASN.1 Object Identifiers\n");
  int n = OBJ_create_objects2(zv_oid_table);
  zv_log(16, "Number of new ASN.1 Objects added = %d\n", n);
}
