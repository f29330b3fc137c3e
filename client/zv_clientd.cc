#include "client/zv_clientd.h"

#include <pthread.h>
#include <signal.h>

#include <openssl/x509.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/zv_client_start.h"
#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "client/zv_interfaces.h"
#include "client/zv_message.h"
#include "partners/zv_lcert.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_translog.h"
#include "transport/zv_transport.h"
#include "transport/zv_transport_services.h"

using zv_client::soft_assert;

namespace {

constexpr const char *kSource = "zv_client";

// The operator's word on an outage of the ZVP process: a document waits for it, and with
// it the interface that handed the document in (a socket sender included, which may give
// up and send the document again).
void zvp_outage(const char *where, int err) {
  if (err != 0)
    zv_log(-1,
           "WARNING: ZVP process at %s cannot be reached (%s) - the document is waiting, the "
           "connect is tried again every second\n",
           where, strerror(err));
  else
    zv_log(-1, "INFO: ZVP process at %s is reached again - sending the waiting document\n",
           where);
}

int send_to_zvp(Trans_ctl_rec *tctlp, st_socaddr_t *socaddr) {
  return send_transport_msg_noting(tctlp, socaddr, zvp_outage);
}

// The main record and its two buffers, owned by clientd_main for the whole run.
Trans_ctl_rec main_rec;
char main_ibuf[ZV_CLIENT_BUF_SIZE];
char main_obuf[ZV_CLIENT_BUF_SIZE];

// Set by receipt_in_buf; read by the listener thread for the role and the buffers.
Trans_ctl_rec *main_tctlp = nullptr;

// Set by the listener thread when its listen ended without a stop (the port taken, the
// socket failed): the process then ends, since it would serve nothing.
std::atomic<bool> listener_failed{false};
// Set by the listener thread once it holds its address and listens: the process has
// started then, and not before.
std::atomic<bool> listener_listening{false};
void note_listening() { listener_listening = true; }
// How often the sleeping main thread looks at those flags; the idle step stays 10 seconds.
constexpr int kListenerWatchMs = 200;
constexpr int kListenerStartWatchMs = 10;
constexpr int kIdleStepMs = 10000;

// How long the receipt client waits at shutdown for its listener to end by itself, and
// then after cancelling it; a stalled peer is not waited for longer.
constexpr int kListenerEndMs = 2000;
constexpr int kListenerJoinMs = 2000;

bool join_within(pthread_t thread, int ms) {
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  return pthread_timedjoin_np(thread, nullptr, &until) == 0;
}

// Puts the record's input start, its lengths and the output capacity back when a
// document is done: the hand-over points the input at the part it carries and counts its
// NUL, the builders set obuf_length to the envelope's length.
class RecordRestore {
 public:
  explicit RecordRestore(Trans_ctl_rec *t)
      : t_(t),
        ibuf_(t->ibufferp),
        ilen_(t->ibuf_length),
        imsg_(t->imsg_length),
        olen_(t->obuf_length) {}
  RecordRestore(const RecordRestore &) = delete;
  RecordRestore &operator=(const RecordRestore &) = delete;
  ~RecordRestore() {
    restore_input();
    t_->obuf_length = olen_;
  }
  // The document as it came, for a report whose copy must keep all of it and no more.
  void restore_input() {
    t_->ibufferp = ibuf_;
    t_->ibuf_length = ilen_;
    t_->imsg_length = imsg_;
  }

 private:
  Trans_ctl_rec *t_;
  char *ibuf_;
  int ilen_;
  int imsg_;
  int olen_;
};

// The local identity of the record's partner: version into the record, certificate
// into the record, key and transport address out. 0, or the refusal's result.
int local_identity(Trans_ctl_rec *t, EVP_PKEY **key, char socaddr[64]) {
  int index = t->tp_index >= 0 ? int_from_endpoint(t->tp_index, EP_LOCAL_CERT) : -1;
  if (get_lcert_entry(index, &t->zvp_version, &t->pLocalCert, key, socaddr,
                      &zv_pacing_delay) != 0) {
    zv_log(-1, "ERROR: No local cert entry, tp_index = %d\n", t->tp_index);
    return zv_report_refusal(t, ZV_ERRM_CANNOT_FIND_LOCAL_CERT_ENTRY);
  }
  return 0;
}

// Puts the record's input on what the transaction hands over: the part the envelope was
// built from, and for an integrity or signed receipt only the ISA segment it
// acknowledges (isa_line, ended by its NUL), as the ZVP process has always had it.
void place_handed_input(Trans_ctl_rec *t) {
  if (t->msg_type == ZV_MT_INTEGRITY_RECEIPT || t->msg_type == ZV_MT_SIGNED_RECEIPT) {
    t->ibufferp = t->isa_line;
    t->ibuf_length = static_cast<int>(sizeof t->isa_line);
    return;
  }
  int offset = 0;
  t->ibufferp = zv_request_part(t, &offset);
  t->ibuf_length -= offset;
}

// The partner's address for the priority. Set as soon as the partner is known, so that
// every report about this document names its own partner's address, never the one of
// the document the record carried before.
void set_destination(Trans_ctl_rec *t, zvPortType priority) {
  if (t->tp_index < 0 || t->tp_index >= ZV_MAX_TP) return;
  Tpartner_rec &tp = partner[t->tp_index];
  t->dest_ip = tp.ip;
  t->dest_port = priority == HIPRI_PORT ? tp.hipriport : tp.port;
}

// The input's length with its NUL, never beyond the buffer.
int input_length(const Trans_ctl_rec *t) {
  if (t->ibufferp == nullptr || t->ibuf_length <= 0) return 0;
  size_t n = strnlen(t->ibufferp, static_cast<size_t>(t->ibuf_length));
  return static_cast<int>(n < static_cast<size_t>(t->ibuf_length) ? n + 1 : n);
}

// A packet's length as its reader found it (imsg_length), NULs inside and all, with the
// NUL that follows it in the buffer: a packet is a ready envelope, whose octets may be 0.
int packet_length(const Trans_ctl_rec *t) {
  int n = t->imsg_length;
  if (t->ibufferp == nullptr || n <= 0 || n > t->ibuf_length) return input_length(t);
  return n < t->ibuf_length && t->ibufferp[n] == '\0' ? n + 1 : n;
}

// The process's own failures are about no document and no partner; the main record
// may still name the last document an interface handed over, and its buffers are not a
// failed message to keep a copy of.
void report_process_failure(Trans_ctl_rec *rec) {
  rec->tp_index = -1;
  rec->msg_type = 0;
  rec->isa_line[0] = '\0';
  rec->ibuf_length = 0;
  rec->obuf_length = 0;
  transaction_logging(rec, ZV_ERRM_CANNOT_START_PROCESS);
}

}  // namespace

int clientd(Trans_ctl_rec *tctlp, zvPortType priority) {
  if (tctlp == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  RecordRestore restore(tctlp);
  tctlp->iPriority = priority;
  tctlp->pLocalCert = nullptr;
  tctlp->pRemoteCert = nullptr;
  tctlp->digest[0] = '\0';
  tctlp->digest_length = 0;

  EVP_PKEY *key = nullptr;
  char socaddr[64] = {0};
  int input = 0;
  if (zv_packet_mode_flag != 1) {
    if (int rc = findPartner(tctlp); rc != 0) return rc;
    set_destination(tctlp, priority);
    if (int rc = local_identity(tctlp, &key, socaddr); rc != 0) return rc;
    zv_log(1, "Processing message, version = %d, msg_type = %d, trans dest [%s]\n",
           tctlp->zvp_version, tctlp->msg_type, socaddr);
    if (debug_level & 0x200) dump_tradingPartnerRec(1, tctlp->tp_index);
    int rc;
    switch (tctlp->zvp_version) {
      case 2:
        rc = process_rawInputData(tctlp, key);
        break;
      case 3:
        rc = process_rawInputData_v3(tctlp, key, 0);
        break;
      default:
        zv_log(-1, "ERROR: Bad version, zvp_version = %d\n", tctlp->zvp_version);
        return zv_report_refusal(tctlp, ZV_ERRM_ZVP_VERSION_NOT_SUPPORTED);
    }
    if (rc != 0) return rc;
    place_handed_input(tctlp);
    input = input_length(tctlp);
  } else {
    if (tctlp->tp_index == -1) {
      zv_log(-1, "ERROR: input message not sent\n");
      return zv_report_refusal(tctlp, ZV_ERRM_NO_ISAID_FOUND_IN_TPFILE);
    }
    set_destination(tctlp, priority);
    if (int rc = local_identity(tctlp, &key, socaddr); rc != 0) return rc;
    zv_log(1, "clientd: sending packet message, version = %d, trans dest [%s}\n",
           tctlp->zvp_version, socaddr);
    if (debug_level & 0x200) dump_tradingPartnerRec(1, tctlp->tp_index);
    input = packet_length(tctlp);
  }

  tctlp->imsg_length = tctlp->ibuf_alloc_length = input;
  tctlp->omsg_length = tctlp->obuf_alloc_length = tctlp->obuf_length;

  st_socaddr_t target;
  memcpy(target, socaddr, sizeof target);
  if (clientd_sender(tctlp, &target) != 0) {
    restore.restore_input();
    return zv_report_refusal(tctlp, ZV_ERRM_CANNOT_SEND_INTERNAL_DATA);
  }
  // Raw mode reports each document it sent, as packet mode does, and only once it has
  // been handed over: one that was not has its failure line alone.
  if (zv_packet_mode_flag != 1 && rawMessage_flag)
    transaction_logging(tctlp, ZV_SUCCESSFUL_TRANSMISSION);
  return 0;
}

clientd_sender_t clientd_sender = send_to_zvp;

// ---- receipt-client role -----------------------------------------------------------

int process_message(int fd, int /*remote_port*/, char * /*remote_addr*/) {
  // A transaction is finished, or dropped, as a whole: the main thread's cancel at
  // shutdown takes effect only between connections.
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.who = main_tctlp ? main_tctlp->who : ZV_WHO_RECEIPT_CLIENT;
  // Until a transaction has come, the record is about no partner.
  rec.tp_index = -1;
  st_ipaddr_t dest_ip = {0};
  // The sender is answered only once its request has been handed to the ZVP process, or
  // refused and kept whole as a copy: a kill before that leaves it unacknowledged, so
  // that the sender knows it was not taken.
  if (receive_transport_msg_held(&rec, fd, &dest_ip) != 0) {
    // The receive leaves the record as given, so nothing of the transaction is held.
    transaction_logging(&rec, ZV_ERRM_CANNOT_RECV_INTERNAL_DATA);
    pthread_setcancelstate(old_state, nullptr);
    return 0;
  }

  // The sender's `who` came with the transaction; what happens to it here belongs to
  // this role and its transaction log.
  rec.who = main_tctlp ? main_tctlp->who : ZV_WHO_RECEIPT_CLIENT;
  char *received_in = rec.ibufferp;
  char *received_out = rec.obufferp;
  int in_len = rec.imsg_length;
  bool fits = in_len >= 0 && in_len <= ZV_CLIENT_BUF_SIZE &&
              (in_len == 0 || received_in != nullptr);
  // A request that fills the whole buffer leaves no room for the NUL that must end it.
  bool unended = fits && in_len == ZV_CLIENT_BUF_SIZE && received_in[in_len - 1] != '\0';
  // The request is the text its sender handed over; the NUL that ends it travels with it
  // but is not part of it, and stays out of the copy of a refused request.
  int text_len = in_len > 0 && received_in != nullptr && received_in[in_len - 1] == '\0'
                     ? in_len - 1
                     : in_len;
  rec.imsg_length = text_len;
  bool send = false;
  // Refused and kept whole, or handed over: what the acknowledgement tells the sender.
  bool taken = false;
  if (main_tctlp == nullptr) {
    soft_assert(kSource, __LINE__);
  } else if (!fits || unended) {
    // Reported with the received text, so that the copy of the failed message keeps it.
    if (unended)
      zv_log(-1,
             "ERROR: receipt input of %d bytes does not end with a NUL and leaves no room for "
             "one in the input buffer of %d bytes - message not sent\n",
             in_len, ZV_CLIENT_BUF_SIZE);
    else
      zv_log(-1,
             "ERROR: receipt input of %d bytes does not fit the input buffer of %d bytes - "
             "message not sent\n",
             in_len, ZV_CLIENT_BUF_SIZE);
    rec.ibuf_length = in_len;
    rec.obuf_length = 0;
    taken = transaction_logging(&rec, ZV_ERRM_CANNOT_RECV_INTERNAL_DATA) == 0;
  } else if (rec.iPriority != STD_PORT && rec.iPriority != HIPRI_PORT) {
    // The socket interface's rule: a request is refused as unsupported input about no
    // partner, its text kept as the copy, rather than sent at a priority it did not ask.
    zv_log(-1,
           "ERROR: cannot set message priority (with value of %d) from the receipt socket - "
           "message invalid, cannot continue\n",
           rec.iPriority);
    zv_input::no_partner(&rec);
    rec.ibuf_length = in_len;
    rec.obuf_length = 0;
    taken = zv_report_refusal(&rec, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND) != ZV_REFUSED_NOT_KEPT;
  } else {
    // A NUL inside would cut the request short; refused on the received text too.
    rec.ibuf_length = in_len;
    rec.obuf_length = 0;
    int refused = 0;
    send = !zv_refuse_inner_nul(&rec, static_cast<size_t>(in_len), "receipt",
                                "the receipt socket", &refused);
    taken = !send && refused != ZV_REFUSED_NOT_KEPT;
  }
  if (send) {
    memset(main_tctlp->ibufferp, 0, ZV_CLIENT_BUF_SIZE);
    if (in_len > 0) memcpy(main_tctlp->ibufferp, received_in, static_cast<size_t>(in_len));
  }
  free(received_in);
  free(received_out);
  X509_free(rec.pLocalCert);
  X509_free(rec.pRemoteCert);
  rec.pRemoteCert = nullptr;
  if (send) {
    rec.ibufferp = main_tctlp->ibufferp;
    rec.ibuf_length = ZV_CLIENT_BUF_SIZE;
    rec.obufferp = main_tctlp->obufferp;
    rec.obuf_length = ZV_CLIENT_BUF_SIZE;
    memset(rec.obufferp, 0, ZV_CLIENT_BUF_SIZE);
    rec.pLocalCert = main_tctlp->pLocalCert;
    taken = clientd(&rec, static_cast<zvPortType>(rec.iPriority)) != ZV_REFUSED_NOT_KEPT;
  }
  if (!taken)
    zv_log(-1, "ERROR: request on the receipt socket was neither handed over nor kept - not "
               "acknowledged, its sender is to send it again\n");
  answer_transport_msg(fd, taken);
  pthread_setcancelstate(old_state, nullptr);
  return 0;
}

void *do_receipt_listen(void *arg) {
  int kind1 = zv_set_thread(1);
  listen_thread_t block;
  memcpy(&block, arg, sizeof block);
  free(arg);
  zv_log(8, "Receipt listen thread on [%s:%d] started, thread_count = %d\n", block.listen_addr,
         block.listen_port, kind1);
  Trans_ctl_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.who = ZV_WHO_NONE;
  rec.tp_index = -1;
  listen_transport_noting(&block.listen_socaddr, block.accept_func, note_listening);
  if (!zv_shutdown) {
    int err = errno;
    zv_log(-1, "ERROR: cannot listen on the receipt socket at address %s port %d: %s (errno %d)\n",
           block.listen_addr[0] != '\0' ? block.listen_addr : "0.0.0.0", block.listen_port,
           strerror(err), err);
    transaction_logging(&rec, ZV_ERRM_INTERNAL_DATA_LISTEN_FAILED);
    listener_failed = true;
  }
  zv_done_thread(1);
  return nullptr;
}

int create_receipt_listen(pthread_t *thread, const char *socaddr,
                          receipt_accept_func_t accept_func) {
  if (thread == nullptr || socaddr == nullptr || accept_func == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  auto *block = static_cast<listen_thread_t *>(calloc(1, sizeof(listen_thread_t)));
  if (block == nullptr) {
    zv_log(-1, "Allocate for receipt listen struct on [%s] failed\n", socaddr);
    return -1;
  }
  snprintf(block->listen_socaddr, sizeof block->listen_socaddr, "%s", socaddr);
  block->accept_func = accept_func;
  if (prepare_addr(&block->listen_socaddr, &block->listen_addr, &block->listen_port) != 0) {
    zv_log(-1, "Cannot find port in IP address [%s] - cannot listen to port\n", socaddr);
    free(block);
    return -1;
  }
  // The listener takes no signals, so that they interrupt the main thread's sleep and
  // shutdown is seen at once.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int rc = pthread_create(thread, nullptr, do_receipt_listen, block);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    zv_log(-1, "Starting receipt listen thread on [%s:%d] failed,  errno = %d\n",
           block->listen_addr, block->listen_port, rc);
    free(block);
    return -1;
  }
  return 0;
}

int receipt_in_buf(Trans_ctl_rec *tctlp, const char *socaddr) {
  if (tctlp == nullptr || socaddr == nullptr) {
    soft_assert(kSource, __LINE__);
    return -1;
  }
  main_tctlp = tctlp;
  pthread_t thread;
  // Cleared before the listener starts: a listen that fails at once sets it at once.
  listener_failed = false;
  listener_listening = false;
  if (create_receipt_listen(&thread, socaddr, process_message) != 0) {
    printf("Cannot create Listener for [%s], terminating", socaddr);
    fflush(stdout);
    report_process_failure(tctlp);
    return -1;
  }
  // Whoever launched the process is told it started only once the receipt socket is
  // held; a listen that fails first is a start that failed.
  while (!listener_listening && !listener_failed && !zv_shutdown)
    millisleep(kListenerStartWatchMs);
  if (listener_listening) zv_started();
  for (int idle = 0; !zv_shutdown && !listener_failed; idle += kListenerWatchMs) {
    if (idle >= kIdleStepMs) {
      zv_client::idle_log_call();
      idle = 0;
    }
    millisleep(kListenerWatchMs);
  }
  if (listener_failed) {
    // The thread has reported and is ending by itself.
    join_within(thread, kListenerJoinMs);
    return -1;
  }
  // The listener sees the stop flag within a fraction of a second and ends by itself;
  // it is cancelled only when it does not (a peer stalled in mid-transaction).
  if (!join_within(thread, kListenerEndMs)) {
    pthread_cancel(thread);
    if (!join_within(thread, kListenerJoinMs))
      zv_log(-1, "WARNING: receipt listen thread did not end, process exits without it\n");
  }
  return 0;
}

// ---- main --------------------------------------------------------------------------

namespace {

int refuse_packet_mode(const char *name) {
  zv_log(-1, "ERROR: ZV_packet_mode not supported for %s interface [%s]\n", name, zv_interface);
  return -1;
}

int run_client_interface(Trans_ctl_rec *rec) {
  bool packet = zv_packet_mode_flag != 0;
  switch (toupper(static_cast<unsigned char>(zv_interface[0]))) {
    case 'D':
      return dir_in_buf(rec, zv_dirpath2);
    case 'P':
      if (packet) return refuse_packet_mode("PIPE");
      // The pipe has no setting of its own: it is the `file` setting's path.
      snprintf(zv_pipename2, sizeof zv_pipename2, "%s", zv_filename);
      return pipe_in_buf(rec, zv_pipename2, 0);
    case 'R':
      if (packet) return refuse_packet_mode("RPC");
      return iSoc_in_buf(rec, zv_socaddr2);
    case 'S':
      if (packet) return refuse_packet_mode("SOCKET");
      return iSoc_in_buf(rec, zv_socaddr2);
    case 'W':
      if (packet) return refuse_packet_mode("SOAP");
      return iSoap_in_buf();
    case 'X':
      if (packet) return refuse_packet_mode("XMLRPC");
      return iSoc_in_buf(rec, zv_socaddr2);
    case 'Z':
      return test_in_buf(rec);
    default:
      zv_log(-1, "ERROR: unknown interface requested [%s]\n", zv_interface);
      return -1;
  }
}

}  // namespace

int clientd_main(int argc, char **argv) {
  zv_register_all_services();
  if (init_zv_process(argc, argv) != 0) exit(-1);
  // A start that fails: the launcher is told so, and the pid file names who ran before.
  if (zv_refuse_at_start() != 0) vZvExit(-1);
  Trans_ctl_rec *rec = &main_rec;
  memset(rec, 0, sizeof *rec);
  rec->who = ZV_WHO_NONE;
  rec->tp_index = -1;
  if (THREAD_setup() != 0) {
    zv_log(-1, "ERROR: Cannot initialize Thread Management\n");
    printf("Cannot initialize Thread Management\n");
    fflush(stdout);
    report_process_failure(rec);
    vZvExit(-2);
  }
  fflush(stdout);
  rec->ibufferp = main_ibuf;
  rec->ibuf_length = ZV_CLIENT_BUF_SIZE;
  rec->obufferp = main_obuf;
  rec->obuf_length = ZV_CLIENT_BUF_SIZE;

  const char *label;
  int rc;
  if (zv_process_id == ZV_RECEIPT_PROCESS) {
    rec->who = ZV_WHO_RECEIPT_CLIENT;
    label = "receipt";
    rc = receipt_in_buf(rec, zv_receipt_socaddr);
  } else {
    rec->who = ZV_WHO_STD_CLIENT;
    label = "client";
    if (zv_packet_mode_flag &&
        toupper(static_cast<unsigned char>(zv_interface[0])) == 'F') {
      zv_log(-1, "ERROR: ZV_packet_mode not supported for FILE interface [%s]\n", zv_interface);
      return -1;
    }
    rc = toupper(static_cast<unsigned char>(zv_interface[0])) == 'F'
             ? file_in_buf(rec, zv_filename)
             : run_client_interface(rec);
  }
  if (rc == 0) {
    fprintf(stderr, "%s process terminating\n", label);
    vZvExit(0);
  }
  // Another client reads this input directory: this one never started, and its pid file
  // names the one that runs again.
  if (rc == ZV_INPUT_IN_USE) {
    pid_file_give_back();
    vZvExit(-1);
  }
  zv_log(-1, "ERROR: zv_server failed, terminating.\n");
  printf("Failure in client process, terminating\n");
  fflush(stdout);
  report_process_failure(rec);
  vZvExit(-3);
}
