#include "codec/zv_dump.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>

#include "codec/zv_der.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_log.h"

namespace {

struct bio_free {
  void operator()(BIO *b) const { BIO_free(b); }
};

// The printer writes through BIO_write and BIO_puts; both reach the line splitter as
// the write it expects.
long dump_callback(BIO *bio, int oper, const char *argp, size_t len, int /*argi*/, long /*argl*/,
                   int ret, size_t * /*processed*/) {
  if (argp && (oper == BIO_CB_WRITE || oper == BIO_CB_PUTS)) {
    size_t n = oper == BIO_CB_PUTS ? strlen(argp) : len;
    print_lines(bio, argp, static_cast<int>(n < INT_MAX ? n : INT_MAX), ZV_DUMP_LINE_SIZE,
                ret);
  }
  return ret;
}

char shown(const unsigned char *p, int len, int i) {
  if (i >= len) return '.';
  return p[i] >= 0x20 && p[i] <= 0x7F ? static_cast<char>(p[i]) : '.';
}

void copy_name(char *onamep, int olen, const char *name) {
  if (onamep && olen > 0) snprintf(onamep, static_cast<size_t>(olen), "%s", name);
}

// Nesting deeper than this is treated as an encoding error (the stack stays bounded).
constexpr int kMaxDepth = 128;

// Depth-first search for the first OBJECT IDENTIFIER from *pp over `length` octets;
// *pp is left where the walk stopped.
int walk(const unsigned char **pp, long length, char *onamep, int olen, int depth = 0) {
  const unsigned char *p = *pp;
  const unsigned char *end = p + length;
  const unsigned char *before = nullptr;
  int ret = 1;
  while (p < end && p != before) {
    before = p;
    zv_der_reader r(p, static_cast<long>(end - p));
    zv_der_header h;
    if (r.read_header(&h) != zv_der_status::ok || depth > kMaxDepth) {
      zv_log(-1, "ERROR: Error in ASN1 encoding\n");
      ret = -1;
      break;
    }
    const unsigned char *content = p + h.header_length;
    if (h.constructed) {
      if (!h.indefinite && h.length > static_cast<long>(end - content)) {
        ret = -2;
        break;
      }
      p = content;
      const unsigned char *stop = h.indefinite ? end : content + h.length;
      int found = 1;
      while (p < stop) {
        const unsigned char *q = p;
        int n = walk(&p, static_cast<long>(stop - p), onamep, olen, depth + 1);
        if (n == 0 || n < 0) {
          found = n;
          break;
        }
        if ((n == 2 && h.indefinite) || p == q) break;
      }
      if (found <= 0) {
        ret = found;
        break;
      }
      continue;
    }
    if (h.cls == ZV_DER_UNIVERSAL && h.tag == V_ASN1_OBJECT) {
      const unsigned char *q = p;
      ASN1_OBJECT *o = d2i_ASN1_OBJECT(nullptr, &q, h.header_length + h.length);
      if (!o) {
        zv_log(-1, "ERROR: BAD or UNKNOWN ASN1 OBJECT encountered");
        ret = -1;
        break;
      }
      if (onamep && olen > 0) OBJ_obj2txt(onamep, olen, o, 0);
      ASN1_OBJECT_free(o);
      p = q;
      ret = 0;
      break;
    }
    p = content + h.length;
    if (h.cls == ZV_DER_UNIVERSAL && h.tag == 0) {
      ret = 2;
      break;
    }
  }
  *pp = p;
  return ret;
}

}  // namespace

int dump_asn1(const unsigned char *bufp, int len) {
  if (!bufp) {
    fprintf(stderr, "ASSERT Failed: %s: line %d\n", __FILE__, __LINE__);
    return -1;
  }
  std::unique_ptr<BIO, bio_free> bio(BIO_new(BIO_s_null()));
  if (!bio) {
    zv_log(-1, "ERROR: dump_asn1(), BIO_new returned NULL\n");
    return -1;
  }
  std::vector<char> line(ZV_DUMP_LINE_SIZE, '\0');
  BIO_set_callback_ex(bio.get(), dump_callback);
  BIO_set_callback_arg(bio.get(), line.data());
  zv_log(1, "ASN1 Data +++++++++++++++++++++++++++++++++\n");
  int r = ASN1_parse_dump(bio.get(), bufp, len, 2, -1);
  zv_log(1, "++++++ End of ASN1 Data +++++++++++++++++++\n");
  zv_log(1, "ASN1_parse returned a %d\n", r);
  return 0;
}

int dump_hex_char(const unsigned char *bufp, int len) {
  if (!bufp) return 0;
  for (int off = 0; off < len; off += 16) {
    const unsigned char *p = bufp + off;
    int n = len - off;
    unsigned b[16];
    for (int i = 0; i < 16; ++i) b[i] = i < n ? p[i] : 0;
    zv_log(1,
           "0x%04x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x  "
           "%c%c%c%c %c%c%c%c %c%c%c%c %c%c%c%c\n",
           off, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11],
           b[12], b[13], b[14], b[15], shown(p, n, 0), shown(p, n, 1), shown(p, n, 2),
           shown(p, n, 3), shown(p, n, 4), shown(p, n, 5), shown(p, n, 6), shown(p, n, 7),
           shown(p, n, 8), shown(p, n, 9), shown(p, n, 10), shown(p, n, 11), shown(p, n, 12),
           shown(p, n, 13), shown(p, n, 14), shown(p, n, 15));
  }
  return 0;
}

int mk_ASN1_parse(const unsigned char *pp, long len, char *onamep, int olen) {
  if (!pp || len <= 0) {
    fprintf(stderr, "ASSERT Failed: %s: line %d\n", __FILE__, __LINE__);
    return -1;
  }
  // Fewer than six octets: the missing ones show as 0.
  unsigned first[6] = {};
  for (long i = 0; i < 6 && i < len; ++i) first[i] = pp[i];
  fprintf(stderr, "pp = %x %x %x %x %x %x\n", first[0], first[1], first[2], first[3], first[4],
          first[5]);
  switch (pp[0]) {
    case 0x04:
      copy_name(onamep, olen, "v3zvReceiptMessage");
      return 1;
    case 0x03:
      copy_name(onamep, olen, "v3zvStatusMessage");
      return 1;
    case 0x16:
      copy_name(onamep, olen, "v3basicMessageEDI");
      return 1;
    case 0x30: {
      const unsigned char *p = pp;
      return walk(&p, len, onamep, olen);
    }
    default:
      zv_log(-1, "Cannot determine ASN.1 message type - cannot continue with this message");
      return -1;
  }
}
