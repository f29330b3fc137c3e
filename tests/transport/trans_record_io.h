// A transaction record as text, for comparing what two processes sent and received: every
// field that travels, buffers and certificates in hex (certificates as DER). Also the
// partner table that the transport tests and their peer program share.
#ifndef ZV_TESTS_TRANSPORT_TRANS_RECORD_IO_H
#define ZV_TESTS_TRANSPORT_TRANS_RECORD_IO_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include <openssl/x509.h>

#include "runtime/zv_common.h"

namespace transtest {

inline std::string to_hex(const void *data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char *p = static_cast<const unsigned char *>(data);
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::string from_hex(const std::string &h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

inline std::string cert_der(X509 *x) {
  if (x == nullptr) return "";
  unsigned char *der = nullptr;
  int n = i2d_X509(x, &der);
  std::string s(reinterpret_cast<char *>(der), n > 0 ? static_cast<size_t>(n) : 0);
  OPENSSL_free(der);
  return s;
}

inline std::string serialize(const Trans_ctl_rec &t) {
  std::ostringstream o;
  o << "who=" << t.who << "\nmsg_type=" << t.msg_type << "\niPriority=" << t.iPriority
    << "\nzvp_version=" << t.zvp_version << "\ndest_port=" << t.dest_port
    << "\ndest_ip=" << (t.dest_ip ? to_hex(t.dest_ip, strlen(t.dest_ip)) : "-")
    << "\nisa_line=" << to_hex(t.isa_line, strnlen(t.isa_line, sizeof t.isa_line))
    << "\nimsg_length=" << t.imsg_length << "\nibuf_alloc_length=" << t.ibuf_alloc_length
    << "\nibuf=" << (t.ibufferp ? to_hex(t.ibufferp, t.imsg_length) : "-")
    << "\nomsg_length=" << t.omsg_length << "\nobuf_alloc_length=" << t.obuf_alloc_length
    << "\nobuf=" << (t.obufferp ? to_hex(t.obufferp, t.omsg_length) : "-")
    << "\ndigest_length=" << t.digest_length << "\ndigest=" << to_hex(t.digest, t.digest_length)
    << "\nlocal_cert=" << to_hex(cert_der(t.pLocalCert).data(), cert_der(t.pLocalCert).size())
    << "\nremote_cert=" << to_hex(cert_der(t.pRemoteCert).data(), cert_der(t.pRemoteCert).size())
    << "\ntp_index=" << t.tp_index << "\n";
  return o.str();
}

// Fills a zeroed record from serialize()'s text; buffers come from malloc, certificates
// from d2i_X509, and dest_ip points into `ip`. Free with free_record.
inline bool deserialize(const std::string &text, Trans_ctl_rec *t, st_ipaddr_t *ip) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  auto num = [&](const char *k) { return std::atoi(kv[k].c_str()); };
  t->who = num("who");
  t->msg_type = num("msg_type");
  t->iPriority = num("iPriority");
  t->zvp_version = num("zvp_version");
  t->dest_port = num("dest_port");
  if (kv["dest_ip"] != "-") {
    std::string s = from_hex(kv["dest_ip"]);
    snprintf(*ip, sizeof *ip, "%s", s.c_str());
    t->dest_ip = *ip;
  }
  std::string isa = from_hex(kv["isa_line"]);
  memcpy(t->isa_line, isa.data(), isa.size() < sizeof t->isa_line ? isa.size() : sizeof t->isa_line);
  t->imsg_length = t->ibuf_length = num("imsg_length");
  t->ibuf_alloc_length = num("ibuf_alloc_length");
  if (kv["ibuf"] != "-") {
    std::string b = from_hex(kv["ibuf"]);
    t->ibufferp = static_cast<char *>(calloc(1, t->ibuf_alloc_length + 1));
    memcpy(t->ibufferp, b.data(), b.size());
  }
  t->omsg_length = t->obuf_length = num("omsg_length");
  t->obuf_alloc_length = num("obuf_alloc_length");
  if (kv["obuf"] != "-") {
    std::string b = from_hex(kv["obuf"]);
    t->obufferp = static_cast<char *>(calloc(1, t->obuf_alloc_length + 1));
    memcpy(t->obufferp, b.data(), b.size());
  }
  t->digest_length = num("digest_length");
  std::string d = from_hex(kv["digest"]);
  if (d.size() >= sizeof t->digest) return false;
  memcpy(t->digest, d.data(), d.size());
  for (const char *k : {"local_cert", "remote_cert"}) {
    std::string der = from_hex(kv[k]);
    if (der.empty()) continue;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr) return false;
    (strcmp(k, "local_cert") == 0 ? t->pLocalCert : t->pRemoteCert) = x;
  }
  t->tp_index = num("tp_index");
  return true;
}

inline void free_record(Trans_ctl_rec *t) {
  free(t->ibufferp);
  free(t->obufferp);
  X509_free(t->pLocalCert);
  X509_free(t->pRemoteCert);
  t->ibufferp = t->obufferp = nullptr;
  t->pLocalCert = t->pRemoteCert = nullptr;
}

// The partners both ends of the tests know: index 0 ABC/XYZ, 1 full-width ids, 2 DEF/UVW.
inline void fill_test_partners() {
  memset(partner, 0, sizeof(Tpartner_rec) * ZV_MAX_TP);
  auto set = [](int i, const char *isa, const char *local, const char *remote) {
    snprintf(partner[i].isaid, sizeof partner[i].isaid, "%s", isa);
    snprintf(partner[i].local_id, sizeof partner[i].local_id, "%s", local);
    snprintf(partner[i].remote_id, sizeof partner[i].remote_id, "%s", remote);
  };
  set(0, "ISA0", "ABC", "XYZ");
  set(1, "ISA1", "LOCAL6789012345", "REMOTE789012345");
  set(2, "ISA2", "DEF", "UVW");
}

}  // namespace transtest

#endif
