// A second process for the transport tests.
//   zv_trans_peer receive HOST:PORT FILE   serves connections until one transaction is
//                                          received, writes it to FILE
//   zv_trans_peer send HOST:PORT FILE      sends the transaction described in FILE
// Exit status 0 on success, 1 otherwise.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/transport/trans_record_io.h"
#include "transport/zv_transport.h"

namespace {

std::string g_out;
bool g_received = false;

int receive_one(int fd, int, char *) {
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  st_ipaddr_t ip;
  if (receive_transport_msg(&rec, fd, &ip) == 0) {
    std::string tmp = g_out + ".tmp";
    std::ofstream(tmp, std::ios::binary) << transtest::serialize(rec);
    rename(tmp.c_str(), g_out.c_str());
    g_received = true;
  }
  transtest::free_record(&rec);
  return g_received ? 1 : 0;  // one transaction, then the listen ends
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s receive|send HOST:PORT FILE\n", argv[0]);
    return 1;
  }
  transtest::fill_test_partners();
  st_socaddr_t addr = {};
  snprintf(addr, sizeof addr, "%s", argv[2]);
  if (strcmp(argv[1], "receive") == 0) {
    g_out = argv[3];
    listen_transport(&addr, receive_one);
    return g_received ? 0 : 1;
  }
  if (strcmp(argv[1], "send") == 0) {
    std::ifstream in(argv[3], std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    Trans_ctl_rec rec;
    memset(&rec, 0, sizeof rec);
    st_ipaddr_t ip = {};
    if (!transtest::deserialize(ss.str(), &rec, &ip)) return 1;
    int r = send_transport_msg(&rec, &addr);
    transtest::free_record(&rec);
    return r == 0 ? 0 : 1;
  }
  return 1;
}
