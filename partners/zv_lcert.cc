#include "partners/zv_lcert.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "partners/zv_address.h"
#include "partners/zv_crypto.h"
#include "partners/zv_partner_util.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"

using zv_partners::conf_number;
using zv_partners::conf_string;
using zv_partners::PkeyPtr;
using zv_partners::soft_assert;
using zv_partners::X509Ptr;

namespace {

constexpr const char *kSource = "zv_lcert";
constexpr int kDefaultVersion = 2;

zv_local_cert_t lcert_tab[ZV_MAX_TP];

void empty_slot(zv_local_cert_t &e) {
  X509_free(e.pLocalCert);
  EVP_PKEY_free(e.pLocalPrivateKey);
  memset(&e, 0, sizeof e);
}

// Copies `src` whole into `dst` of `size` bytes; false (nothing copied) when it does not
// fit.
bool copy_whole(char *dst, size_t size, const char *src) {
  size_t n = strlen(src);
  if (n >= size) return false;
  memcpy(dst, src, n + 1);
  return true;
}

void log_too_long(const char *key, const char *section, size_t max) {
  zv_log(-1, "ERROR: Value of field (%s) for zvp process [%s] is longer than %zu characters\n",
         key, section, max);
}

// The file name of `key` copied into `name` (ZV_PATH_SIZE bytes); false, logged, when
// the key is missing, empty or too long.
bool file_key(CONF *conf, const char *section, const char *key, char *name) {
  const char *v = conf_string(conf, section, key);
  if (v == nullptr || *v == '\0') {
    zv_log(-1, "ERROR: Cannot find REQUIRED field (%s) for zvp process [%s]\n", key, section);
    return false;
  }
  if (!copy_whole(name, ZV_PATH_SIZE, v)) {
    log_too_long(key, section, ZV_PATH_SIZE - 1);
    return false;
  }
  return true;
}

// The signed envelope carries the issuer's country and organization; a certificate whose
// issuer lacks one makes every signed envelope carry it empty. Said here, once for the
// identity, rather than for every document.
void note_issuer_gaps(X509 *cert, const char *section) {
  X509_NAME *issuer = X509_get_issuer_name(cert);
  const struct {
    int nid;
    const char *field;
  } fields[] = {{NID_countryName, "issuerCountry"}, {NID_organizationName, "issuerOrganization"}};
  for (const auto &f : fields) {
    if (X509_NAME_get_text_by_NID(issuer, f.nid, nullptr, 0) >= 0) continue;
    zv_log(-1,
           "WARNING: cannot parse %s field of local cert [%s] for zvp process [%s] - its "
           "signed envelopes carry that field empty\n",
           f.field, certificateFileName, section);
  }
}

unsigned handle_bits(const void *p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

int init_lcert_table() {
  for (auto &e : lcert_tab) empty_slot(e);
  return 0;
}

int load_lcert_table(CONF *conf, const char *section, const char *default_socaddr, int slot) {
  if (conf == nullptr || section == nullptr || default_socaddr == nullptr || slot < 0 ||
      slot >= ZV_MAX_TP) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_local_cert_t &e = lcert_tab[slot];
  empty_slot(e);
  if (!copy_whole(e.zvp_reference, sizeof e.zvp_reference, section)) {
    zv_log(-1, "ERROR: The name of zvp process [%s] is longer than %zu characters\n", section,
           sizeof e.zvp_reference - 1);
    return -1;
  }

  e.zvp_version = conf_number(conf, section, "zvversion");
  if (e.zvp_version != 2 && e.zvp_version != 3) {
    zv_log(-1, "WARNING: Using %d as the default ZV version for zvp process [%s]\n",
           kDefaultVersion, section);
    e.zvp_version = kDefaultVersion;
  }

  // The key comes first, so a section with a bad key reports only the key.
  if (!file_key(conf, section, "key", keyFileName)) {
    empty_slot(e);
    return -1;
  }
  EVP_PKEY *k = nullptr;
  if (load_private_key_from_file(keyFileName, &k) != 0) {
    empty_slot(e);
    zv_log(-1,
           "ERROR: Cannot load local private key [%s]. Format may not be supported or the file "
           "may be invalid\n",
           keyFileName);
    return -1;
  }
  PkeyPtr key(k);
  // Refused here rather than at the first envelope: an identity whose key cannot carry
  // the signed block would have every signed document of its partners refused.
  int key_bytes = EVP_PKEY_get_size(key.get());
  if (key_bytes < ZV_MIN_SIGNING_KEY_BYTES || key_bytes > ZV_MAX_DIGEST_LENGTH) {
    empty_slot(e);
    zv_log(-1,
           "ERROR: Local private key [%s] for zvp process [%s] cannot sign: its RSA key "
           "modulus of %d bytes must be %d to %d bytes\n",
           keyFileName, section, key_bytes, ZV_MIN_SIGNING_KEY_BYTES, ZV_MAX_DIGEST_LENGTH);
    return -1;
  }

  if (!file_key(conf, section, "cert", certificateFileName)) {
    empty_slot(e);
    return -1;
  }
  X509 *c = nullptr;
  if (load_cert_struct_from_file(&c, certificateFileName) != 0) {
    empty_slot(e);
    zv_log(-1,
           "ERROR: Cannot load local cert [%s] The format may not be supported or the file may "
           "be invalid\n",
           certificateFileName);
    return -1;
  }
  X509Ptr cert(c);
  // A key of another certificate signs envelopes that no partner can verify.
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    empty_slot(e);
    zv_log(-1,
           "ERROR: Local private key [%s] does not belong to local cert [%s] for zvp process "
           "[%s]\n",
           keyFileName, certificateFileName, section);
    print_ssl_errors();
    return -1;
  }

  const char *socaddr = conf_string(conf, section, "transport_listen_port");
  if (socaddr == nullptr || *socaddr == '\0') {
    zv_log(1, "Using default transport socket [%s] for zvp process [%s]\n", default_socaddr,
           section);
    socaddr = default_socaddr;
  }
  if (!copy_whole(e.transport_listen_socaddr, sizeof e.transport_listen_socaddr, socaddr)) {
    empty_slot(e);
    log_too_long("transport_listen_port", section, sizeof(st_socaddr_t) - 1);
    return -1;
  }
  // Connected to as written or not at all: a text the connect would read otherwise
  // (octal parts, a name, no port) would send every document elsewhere or nowhere.
  if (std::string why; !zv_read_socaddr(socaddr, nullptr, nullptr, &why)) {
    empty_slot(e);
    zv_log(-1,
           "ERROR: Value (%s) of transport_listen_port for zvp process [%s] in the "
           "configuration file (%s) cannot be used: %s.\n",
           socaddr, section, configFileName, why.c_str());
    return -1;
  }
  note_issuer_gaps(cert.get(), section);
  e.pacing_delay = conf_number(conf, section, "pacing_delay");
  e.pLocalPrivateKey = key.release();
  e.pLocalCert = cert.release();

  if (debug_level & 0x800) dump_localCertRec(1, slot);
  return 0;
}

int get_lcert_index(const char *name) {
  if (name == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  for (int i = 0; i < ZV_MAX_TP; ++i) {
    if (lcert_tab[i].zvp_reference[0] != '\0' && strcmp(lcert_tab[i].zvp_reference, name) == 0)
      return i;
  }
  return -1;
}

int get_lcert_entry(int slot, int *version, X509 **cert, EVP_PKEY **key, char socaddr[64],
                    int *pacing_delay) {
  if (slot < 0 || slot >= ZV_MAX_TP || version == nullptr || cert == nullptr ||
      key == nullptr || socaddr == nullptr || pacing_delay == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  const zv_local_cert_t &e = lcert_tab[slot];
  if (e.zvp_reference[0] == '\0') return -1;
  *version = e.zvp_version;
  *cert = e.pLocalCert;
  *key = e.pLocalPrivateKey;
  memcpy(socaddr, e.transport_listen_socaddr, sizeof e.transport_listen_socaddr);
  *pacing_delay = e.pacing_delay;
  return 0;
}

int dump_localCertRec(int level, int slot) {
  if (slot < 0 || slot >= ZV_MAX_TP) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  const zv_local_cert_t &e = lcert_tab[slot];
  char subject[1024];
  subject[0] = '\0';
  if (e.pLocalCert != nullptr)
    X509_NAME_oneline(X509_get_subject_name(e.pLocalCert), subject, sizeof subject);
  zv_log(level, "=== Local Cert Entry Settings for [%d] =====\n", slot);
  zv_log(level, "  zvp_reference = %s, zvp_version = %d\n", e.zvp_reference, e.zvp_version);
  zv_log(level, "  transport socaddr = %s\n", e.transport_listen_socaddr);
  zv_log(level, "  outbound pacing delay = %d\n", e.pacing_delay);
  zv_log(level, "  cert = x%08x, key = x%08x\n", handle_bits(e.pLocalCert),
         handle_bits(e.pLocalPrivateKey));
  zv_log(level, "  cert subject = %s\n", subject);
  if ((debug_level & 128) && e.pLocalCert != nullptr) {
    zv_log(128, "== Local X.509 Cert =======================\n");
    dump_X509(e.pLocalCert);
    zv_log(128, "== END of Local X.509 Cert ================\n");
  }
  if ((debug_level & 64) && e.pLocalPrivateKey != nullptr) {
    zv_log(64, "== Own RSA Private Key ====================\n");
    dump_RSA(e.pLocalPrivateKey, 6);
    zv_log(64, "== END of Own RSA Private Key =============\n");
  }
  zv_log(level, "== END Local Cert Entry Settings ==========\n");
  return 0;
}
