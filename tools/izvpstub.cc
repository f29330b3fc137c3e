// izvpstub: a stand-in for an installation's ZVP process, for tests and the demo. Run it
// under the name of a ZVP_PROCESS section (a name beginning with i, e.g. izvp_east): the
// common start-up then gives it the ZVP role and that section's transport address, which
// it serves. Each transaction is received and acknowledged, its envelope decoded and
// checked (tools/zv_zvpstub.h), and one report line written:
//   - to the file named by the `file` setting (-F) when one is given, else to standard
//     output;
//   - with the `outdir` setting (-D) given, the envelope is also saved there as
//     "<seq>-<kind>.der" before its line is written.
// SIGTERM stops it (exit status 0).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/x509.h>

#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_options.h"
#include "runtime/zv_process.h"
#include "tools/zv_zvpstub.h"
#include "transport/zv_transport.h"
#include "transport/zv_transport_services.h"

namespace {

int report_fd = STDOUT_FILENO;
std::string envelope_dir;
int seq = 0;

bool given(const char *option) {
  const zv_command_switch *s = find_cs_entry(option);
  return s != nullptr && s->csrc != CFG_DEFAULT;
}

std::string save_envelope(const Trans_ctl_rec &rec, const std::string &kind) {
  if (envelope_dir.empty() || rec.obufferp == nullptr || rec.omsg_length <= 0) return "";
  char name[64];
  snprintf(name, sizeof name, "%06d-%s.der", seq, kind.c_str());
  std::string path = envelope_dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    zv_log(-1, "ERROR: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return "";
  }
  size_t n = fwrite(rec.obufferp, 1, static_cast<size_t>(rec.omsg_length), f);
  if (fclose(f) != 0 || n != static_cast<size_t>(rec.omsg_length)) {
    zv_log(-1, "ERROR: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return "";
  }
  return name;
}

void write_line(const std::string &line) {
  std::string out = line + "\n";
  if (write(report_fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
    zv_log(-1, "ERROR: cannot write the report line: %s\n", strerror(errno));
}

int on_transaction(int fd, int, char *) {
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.tp_index = -1;
  st_ipaddr_t dest_ip = {0};
  ++seq;
  if (receive_transport_msg(&rec, fd, &dest_ip) != 0) {
    write_line(std::to_string(seq) + "|-|-|-|-|-|-|-|-|-|undecodable|receive-failed|-");
    return 0;
  }
  zvp_check_result r = zvp_check_transaction(rec);
  std::string saved = save_envelope(rec, r.kind);
  write_line(zvp_report_line(seq, rec, r, saved));
  free(rec.ibufferp);
  free(rec.obufferp);
  X509_free(rec.pLocalCert);
  X509_free(rec.pRemoteCert);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  zv_register_all_services();
  if (init_zv_process(argc, argv) != 0) exit(-1);
  if (zv_zvpproc_socaddr[0] == '\0') {
    zv_log(-1, "ERROR: %s is not a ZVP_PROCESS section of %s - no transport address to serve\n",
           program, configFileName);
    vZvExit(-1);
  }
  if (given("file")) {
    report_fd = open(zv_filename, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (report_fd < 0) {
      zv_log(-1, "ERROR: cannot open the report file %s: %s\n", zv_filename, strerror(errno));
      vZvExit(-1);
    }
  }
  if (given("outdir")) envelope_dir = zv_dirpath;
  zv_log(0, "ZVP stand-in serving [%s]\n", zv_zvpproc_socaddr);
  st_socaddr_t addr;
  memcpy(addr, zv_zvpproc_socaddr, sizeof addr);
  // Started once the address is held: its launcher then leaves with 0.
  listen_transport_noting(&addr, on_transaction, zv_started);
  if (!zv_shutdown) {
    zv_log(-1, "ERROR: cannot serve [%s]\n", zv_zvpproc_socaddr);
    vZvExit(-3);
  }
  vZvExit(0);
}
