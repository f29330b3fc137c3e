#include "partners/zv_address.h"

#include <cstdio>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of one to `max_digits` digits and nothing else.
bool plain_number(std::string_view text, size_t max_digits, long *value) {
  if (text.empty() || text.size() > max_digits) return false;
  long v = 0;
  for (char c : text) {
    if (!is_digit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

bool zv_read_ipv4(std::string_view text, zv_ipv4 *out, std::string *why) {
  if (text.empty()) {
    *why = "it is empty";
    return false;
  }
  zv_ipv4 a{};
  size_t from = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = text.find('.', from);
    bool last = i == 3;
    if (last != (dot == std::string_view::npos)) {
      *why = "it is not four decimal numbers joined by dots";
      return false;
    }
    std::string_view part = text.substr(from, last ? std::string_view::npos : dot - from);
    long v = 0;
    // Three digits at most: "0010" is no way of writing 10 that anything else reads so.
    if (!plain_number(part, 3, &v)) {
      *why = "it has a part (" + std::string(part) +
             ") that is not a decimal number of one to three digits";
      return false;
    }
    if (v > 255) {
      *why = "it has a part (" + std::string(part) + ") above 255";
      return false;
    }
    a.octet[i] = static_cast<unsigned char>(v);
    from = dot + 1;
  }
  *out = a;
  return true;
}

bool zv_read_port(std::string_view text, int *port, std::string *why) {
  long v = 0;
  for (char c : text) {
    if (!is_digit(c)) {
      *why = "it is not a plain decimal number";
      return false;
    }
    // Any more digits cannot bring it back into range.
    if (v <= 65535) v = v * 10 + (c - '0');
  }
  if (text.empty()) {
    *why = "it is empty";
    return false;
  }
  if (v < 1 || v > 65535) {
    *why = "it is not from 1 to 65535";
    return false;
  }
  *port = static_cast<int>(v);
  return true;
}

bool zv_read_socaddr(std::string_view text, zv_ipv4 *addr, int *port, std::string *why) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    *why = "it has no ':' before a port";
    return false;
  }
  zv_ipv4 a;
  int p;
  std::string part_why;
  // The part's reason begins "it ": said of the part here.
  if (!zv_read_ipv4(text.substr(0, colon), &a, &part_why)) {
    *why = "its address" + part_why.substr(2);
    return false;
  }
  if (!zv_read_port(text.substr(colon + 1), &p, &part_why)) {
    *why = "its port" + part_why.substr(2);
    return false;
  }
  if (addr != nullptr) *addr = a;
  if (port != nullptr) *port = p;
  return true;
}

void zv_ipv4_text(const zv_ipv4 &addr, char *out) {
  snprintf(out, ZV_IPV4_TEXT_SIZE, "%d.%d.%d.%d", addr.octet[0], addr.octet[1], addr.octet[2],
           addr.octet[3]);
}
