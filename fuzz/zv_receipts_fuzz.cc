// Record files of the receipt log and the pending receipts, as another process may have
// left them: the reader never crashes or reads outside the file, and a record it accepts
// is written back and read again unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "failover/zv_receipts.h"

namespace {

// One scratch directory per process, removed at exit.
struct Scratch {
  char dir[64] = "/tmp/zv_receipts_fuzzXXXXXX";
  std::string in, out;
  Scratch() {
    if (mkdtemp(dir) == nullptr) abort();
    in = std::string(dir) + "/in.recpt";
    out = std::string(dir) + "/out.recpt";
  }
  ~Scratch() {
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir);
  }
};

bool same(const PendReceipt_rec &a, const PendReceipt_rec &b) {
  return a.who == b.who && a.msg_type == b.msg_type && strcmp(a.isa_line, b.isa_line) == 0 &&
         a.digest_length == b.digest_length &&
         memcmp(a.digest, b.digest, static_cast<size_t>(a.digest_length) + 1) == 0 &&
         strcmp(a.dest_ip, b.dest_ip) == 0 && a.dest_port == b.dest_port &&
         a.time_sent == b.time_sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Scratch scratch;
  FILE *f = fopen(scratch.in.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);

  PendReceipt_rec first;
  if (iFile2Pend(scratch.in.data(), &first) != 0) return 0;
  if (first.digest_length < 0 || first.digest_length > ZV_MAX_DIGEST_LENGTH) abort();
  if (iPend2file(&first, scratch.out.data()) != 0) {
    // Only an address the writer cannot carry back is refused.
    if (strchr(first.dest_ip, '|') == nullptr && strchr(first.dest_ip, '\n') == nullptr) abort();
    return 0;
  }
  PendReceipt_rec second;
  if (iFile2Pend(scratch.out.data(), &second) != 0 || !same(first, second)) abort();
  return 0;
}
