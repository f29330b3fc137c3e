// Small helpers of the client library: the soft-assertion line, owners for the crypto
// library's objects the builders make, object identifiers by registered name, and a
// view that lends caller-owned bytes to a record's string field for one encoding.
//
// Internal to client/. No state; any thread.
#ifndef ZV_CLIENT_ZV_CLIENT_UTIL_H
#define ZV_CLIENT_ZV_CLIENT_UTIL_H

#include <cstdio>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "runtime/zv_log.h"

namespace zv_client {

// "ASSERT Failed: <source>: line <line>" on standard error.
inline void soft_assert(const char *source, int line) {
  fprintf(stderr, "ASSERT Failed: %s: line %d\n", source, line);
}

// A logger call that prints nothing (level 256 has no output). The logger carries out a
// reopen that SIGUSR1 asked for at its next call, so a loop that may idle for long calls
// this once a round: rotated log files are let go of without waiting for a document.
inline void idle_log_call() { zv_log(256, "%s", ""); }

// A new object for the registered short or long name (the caller owns it), or NULL.
inline ASN1_OBJECT *obj_by_name(const char *name) { return OBJ_txt2obj(name, 0); }

// Replaces the object in `*slot` (released) by a new one for `name`; false, slot
// untouched, when the name is not registered.
inline bool set_obj(ASN1_OBJECT **slot, const char *name) {
  ASN1_OBJECT *o = obj_by_name(name);
  if (o == nullptr) return false;
  ASN1_OBJECT_free(*slot);
  *slot = o;
  return true;
}

// For the lifetime of this object the string field `*slot` shows `len` bytes at `data`
// (not copied); the field's own string is put back on destruction, so declare the
// lender after the record it lends to.
class LentString {
 public:
  LentString(ASN1_STRING **slot, const void *data, int len, int type)
      : slot_(slot), own_(*slot) {
    view_.length = len;
    view_.type = type;
    view_.data = static_cast<unsigned char *>(const_cast<void *>(data));
    view_.flags = 0;
    *slot_ = &view_;
  }
  LentString(const LentString &) = delete;
  LentString &operator=(const LentString &) = delete;
  ~LentString() { *slot_ = own_; }

 private:
  ASN1_STRING **slot_;
  ASN1_STRING *own_;
  ASN1_STRING view_;
};

template <typename T, void (*F)(T *)>
struct Deleter {
  void operator()(T *p) const { F(p); }
};
template <typename T, void (*F)(T *)>
using Owned = std::unique_ptr<T, Deleter<T, F>>;

}  // namespace zv_client

#endif
