// Helpers of the partners tests: the diagnostic lines a test captured, with their
// prefixes removed, and keys with certificates generated once per test process.
#ifndef ZV_TESTS_PARTNERS_PARTNERS_TEST_UTIL_H
#define ZV_TESTS_PARTNERS_PARTNERS_TEST_UTIL_H

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/zv_test_support.h"

namespace zvptest {

// Splits captured output into lines (each keeping its newline) and removes the log
// prefix where a line has one.
inline std::vector<std::string> log_messages(const std::string &captured) {
  static const std::regex prefix(R"(^\d{8} \d{6}\.\d{3}:[^(]*\(\d{5}:\d{2}\):)");
  std::vector<std::string> out;
  size_t start = 0;
  while (start < captured.size()) {
    size_t nl = captured.find('\n', start);
    size_t end = nl == std::string::npos ? captured.size() : nl + 1;
    out.push_back(std::regex_replace(captured.substr(start, end - start), prefix, "",
                                     std::regex_constants::format_first_only));
    start = end;
  }
  return out;
}

inline bool has_line(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline std::string joined(const std::vector<std::string> &lines) {
  std::string s;
  for (const auto &l : lines) s += l;
  return s;
}

struct KeyFiles {
  std::string key;
  std::string cert;
};

// A key and self-signed certificate per distinct spec, made on first use.
inline const KeyFiles &test_key(const zvtest::CertSpec &spec) {
  static std::map<std::string, KeyFiles> cache;
  static std::string dir = zvtest::scratch_dir("keys");
  std::string id = std::to_string(spec.bits) + "-" + spec.common_name + "-" + spec.country +
                   "-" + spec.organization;
  auto it = cache.find(id);
  if (it != cache.end()) return it->second;
  std::string base = dir + "/k" + std::to_string(cache.size());
  KeyFiles f{base + ".key.pem", base + ".cert.pem"};
  zvtest::make_key_and_cert(f.key, f.cert, spec);
  return cache.emplace(id, f).first->second;
}

// The same by its fields; an empty country or organization is left out of the subject.
inline const KeyFiles &test_key(int bits, const std::string &cn = "zvtest",
                                const std::string &country = "",
                                const std::string &organization = "") {
  zvtest::CertSpec spec;
  spec.bits = bits;
  spec.common_name = cn;
  spec.country = country;
  spec.organization = organization;
  return test_key(spec);
}

}  // namespace zvptest

#endif
