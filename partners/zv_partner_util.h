// Small helpers shared by the modules of this library: owners for the crypto library's
// handles, the soft-assertion line, the last crypto error as text, and the readers of
// configuration values (CONF handles) with the [default]-section fallback.
//
// Internal to partners/; not part of its interface. Thread-safe (no state).
#ifndef ZV_PARTNERS_ZV_PARTNER_UTIL_H
#define ZV_PARTNERS_ZV_PARTNER_UTIL_H

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace zv_partners {

struct BioFree {
  void operator()(BIO *b) const { BIO_free(b); }
};
struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct ConfFree {
  void operator()(CONF *c) const { NCONF_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using ConfPtr = std::unique_ptr<CONF, ConfFree>;

// "ASSERT Failed: <source>: line <line>" on standard error, for a missing argument or
// an index outside its table.
void soft_assert(const char *source, int line);

// The oldest error of the calling thread's queue as text (empty when none), then
// empties the queue.
std::string crypto_error_text();

// The value of `key` in `section`, the [default] section standing in; NULL when
// neither has it. Leaves the error queue as it was.
const char *conf_string(CONF *conf, const char *section, const char *key);
// The leading decimal digits of the value as a number (0 when missing or when it does
// not begin with a digit); saturates at INT_MAX.
int conf_number(CONF *conf, const char *section, const char *key);
// A list value split at every comma and blank; runs of them count as one separator.
std::vector<std::string> split_names(const char *value);

}  // namespace zv_partners

#endif
