// The documents of the test's delivering process (fo_writer), known to the test that
// checks what reached the back end: document n is unique and names n.
#ifndef ZV_TESTS_FAILOVER_FO_WRITER_H
#define ZV_TESTS_FAILOVER_FO_WRITER_H

#include <cstdlib>
#include <string>

namespace fot {

inline std::string shared_document(int n) {
  std::string body = "ISA*shared document " + std::to_string(n) + "*";
  body.append(static_cast<size_t>(30 + (n * 53) % 900), static_cast<char>('a' + n % 26));
  return body;
}

// An ISA segment whose receiver (ISA08) is one of three, so that the keys of the
// documents interleave in key order.
inline std::string shared_isa(int n) {
  static const char *const receivers[] = {"ACME           ", "B              ",
                                          "ZULU CARRIER   "};
  return std::string("ISA*00*          *00*          *ZZ*SENDER         *ZZ*") +
         receivers[n % 3] + "*050101*1200*U*00401*000000001*0*P*>";
}

// The n of a document body, or -1.
inline int shared_document_number(const std::string &body) {
  const std::string head = "ISA*shared document ";
  if (body.compare(0, head.size(), head) != 0) return -1;
  return atoi(body.c_str() + head.size());
}

}  // namespace fot

#endif
