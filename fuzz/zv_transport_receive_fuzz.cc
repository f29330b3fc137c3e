// The receiving end of the transaction exchange against arbitrary bytes from its peer:
// it must refuse or assemble, never crash, never hand on a record whose lengths
// contradict its buffers, and acknowledge only what it handed on.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <openssl/x509.h>

#include "runtime/zv_common.h"
#include "transport/zv_transport.h"

namespace {

unsigned g_sink;  // keeps the reads of the handed-on buffers

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "receive_transport_msg: %s\n", what);
    abort();
  }
}

void fill_partners() {
  memset(partner, 0, sizeof(Tpartner_rec) * ZV_MAX_TP);
  snprintf(partner[0].isaid, sizeof partner[0].isaid, "ISA0");
  snprintf(partner[0].local_id, sizeof partner[0].local_id, "ABC");
  snprintf(partner[0].remote_id, sizeof partner[0].remote_id, "XYZ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 256 * 1024) return 0;
  static bool once = (fill_partners(), true);
  (void)once;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  std::string reply;
  std::thread peer([&] {
    for (size_t off = 0; off < size;) {
      ssize_t w = send(fds[1], data + off, size - off, MSG_NOSIGNAL);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
    shutdown(fds[1], SHUT_WR);
    char buf[64];
    ssize_t r;
    while ((r = read(fds[1], buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(r));
  });
  trans_config_t cfg = zv_trans_config;
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  st_ipaddr_t ip;
  int rc = trans_complete_open(fds[0], &cfg) == 0 ? receive_transport_msg(&rec, fds[0], &ip) : -1;
  peer.join();
  close(fds[1]);
  static const char ack[4] = {0, TRANS_ACK, 0, 0};
  if (rc == 0) {
    check(reply == std::string(ack, 4), "handed on without its acknowledgement");
    check(rec.imsg_length >= 0 && rec.imsg_length <= rec.ibuf_alloc_length, "imsg_length");
    check(rec.omsg_length >= 0 && rec.omsg_length <= rec.obuf_alloc_length, "omsg_length");
    check(rec.ibuf_alloc_length <= ZV_TRANS_MAX_ALLOC && rec.obuf_alloc_length <= ZV_TRANS_MAX_ALLOC,
          "allocation limit");
    check((rec.ibuf_alloc_length == 0) == (rec.ibufferp == nullptr), "ibufferp");
    check((rec.obuf_alloc_length == 0) == (rec.obufferp == nullptr), "obufferp");
    check(rec.digest_length >= 0 && rec.digest_length <= ZV_MAX_DIGEST_LENGTH &&
              rec.digest[rec.digest_length] == '\0',
          "digest");
    check(rec.dest_ip == ip && memchr(ip, '\0', sizeof ip) != nullptr, "dest_ip");
    check(rec.tp_index == -1 || rec.tp_index == 0, "tp_index");
    // Whatever was handed on can be read to its announced ends.
    for (int i = 0; i < rec.imsg_length; ++i) g_sink += static_cast<unsigned char>(rec.ibufferp[i]);
    for (int i = 0; i < rec.omsg_length; ++i) g_sink += static_cast<unsigned char>(rec.obufferp[i]);
  } else {
    check(reply.empty(), "acknowledged a refused transaction");
    Trans_ctl_rec zero;
    memset(&zero, 0, sizeof zero);
    check(memcmp(&rec, &zero, sizeof rec) == 0, "record touched by a refused transaction");
  }
  free(rec.ibufferp);
  free(rec.obufferp);
  X509_free(rec.pLocalCert);
  X509_free(rec.pRemoteCert);
  return 0;
}
