#include "partners/zv_partner_util.h"

#include <openssl/err.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace zv_partners {

void soft_assert(const char *source, int line) {
  fprintf(stderr, "ASSERT Failed: %s: line %d\n", source, line);
}

std::string crypto_error_text() {
  unsigned long e = ERR_get_error();
  std::string text;
  if (e != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    text = buf;
  }
  ERR_clear_error();
  return text;
}

const char *conf_string(CONF *conf, const char *section, const char *key) {
  if (conf == nullptr || key == nullptr) return nullptr;
  // A missing key is an ordinary answer here; keep the reader's complaint about it
  // out of the queue so it never shows up in a later error printout.
  ERR_set_mark();
  const char *v = NCONF_get_string(conf, section, key);
  ERR_pop_to_mark();
  return v;
}

int conf_number(CONF *conf, const char *section, const char *key) {
  const char *v = conf_string(conf, section, key);
  if (v == nullptr) return 0;
  long long n = 0;
  for (; *v >= '0' && *v <= '9'; ++v) {
    n = n * 10 + (*v - '0');
    if (n > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(n);
}

std::vector<std::string> split_names(const char *value) {
  std::vector<std::string> names;
  if (value == nullptr) return names;
  const char *sep = ", \t";
  const char *p = value;
  while (*p != '\0') {
    p += strspn(p, sep);
    size_t n = strcspn(p, sep);
    if (n > 0) names.emplace_back(p, n);
    p += n;
  }
  return names;
}

}  // namespace zv_partners
