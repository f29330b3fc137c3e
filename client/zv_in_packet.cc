#include "client/zv_interfaces.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_translog.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_packet";
// The longest id or priority line a packet file may have.
constexpr size_t kMaxPacketLine = 1024;

// One line of a packet file without its line end. False at the end of the file before
// anything was read; a line longer than kMaxPacketLine sets *too_long.
bool packet_line(FILE *f, std::string *line, bool *too_long) {
  line->clear();
  *too_long = false;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() >= kMaxPacketLine) {
      *too_long = true;
      continue;
    }
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

// An id that is empty or begins with a blank names no partner.
bool usable_id(const std::string &id) { return !id.empty() && id[0] != ' '; }

// The priority line: 0 or 1, blanks and tabs around it allowed; anything else is none.
bool priority_flag(const std::string &line, int *priority) {
  size_t first = line.find_first_not_of(" \t");
  size_t last = line.find_last_not_of(" \t");
  if (first == std::string::npos || first != last) return false;
  if (line[first] != '0' && line[first] != '1') return false;
  *priority = line[first] == '1' ? HIPRI_PORT : STD_PORT;
  return true;
}

}  // namespace

int packet_in_buf(Trans_ctl_rec *tctlp, const char *path) {
  if (tctlp == nullptr || path == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_file_ptr f = open_document(tctlp, path);
  if (!f) return -1;
  return packet_document(tctlp, f.get(), path);
}

namespace {

// A packet refused as a document about no partner: line 1 stands for its interchange, and
// the packet read (imsg_length bytes of the input) is its copy.
int refuse_packet(Trans_ctl_rec *t, int code, int capacity) {
  t->tp_index = -1;
  t->obuf_length = 0;
  int rc = zv_report_refusal(t, code);
  t->obuf_length = capacity;
  return rc;
}

}  // namespace

int zv_input::packet_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, read_check *check) {
  if (tctlp == nullptr || path == nullptr || tctlp->ibufferp == nullptr ||
      tctlp->obufferp == nullptr || tctlp->ibuf_length < 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  // The output capacity is the record's own; the packet's length only lives for the send.
  int capacity = tctlp->obuf_length;
  zero_buffers(tctlp);
  tctlp->imsg_length = 0;
  // A packet is of no kind the classification knows, whatever the record carried before.
  tctlp->msg_type = 0;
  std::string local, remote, prio;
  bool too_long = false;
  struct Line {
    std::string *text;
    const char *what;
    int number;
  } lines[] = {
      {&local, "local trading partner (line 1)", 1},
      {&remote, "remote trading partner (line 2)", 2},
      {&prio, "priority flag (line 3)", 3},
  };
  // The whole file is read before anything is decided, so that the check after the read
  // covers every outcome. Of a packet for no known partner the rest is still read, so that
  // its copy holds it.
  const Line *bad = nullptr;
  int line_errno = 0;
  bool unknown = false;
  for (const Line &l : lines) {
    bool got = packet_line(f, l.text, &too_long);
    if (!got || too_long) {
      bad = &l;
      // Only a read that failed has a system error; a file that ends early has none.
      line_errno = !got && ferror(f) ? errno : 0;
      break;
    }
    if (l.number != 2) continue;
    // Both ids are known now: find the partner before reading on.
    snprintf(tctlp->isa_line, sizeof tctlp->isa_line, "%.*s", ZV_ISA_SEGMENT_LENGTH,
             local.c_str());
    tctlp->tp_index = usable_id(local) && usable_id(remote)
                          ? tpLookup(local.c_str(), remote.c_str(), 0)
                          : -1;
    unknown = tctlp->tp_index == -1;
  }
  size_t n = 0;
  int read = bad == nullptr ? read_rest(f, tctlp->ibufferp,
                                        static_cast<size_t>(tctlp->ibuf_length) - 1, &n)
                            : 1;
  int read_errno = errno;
  if (check != nullptr && !check->unchanged()) {
    check->changed = true;
    return -1;
  }
  if (unknown) {
    zv_log(-1, "WARNING: Unknown ISA_ID of [%s] found in input message - skipping message\n",
           local.c_str());
    // The packet is its copy when it was read whole; the file itself is kept anyway.
    int ilen = tctlp->ibuf_length;
    tctlp->imsg_length = read == 0 ? static_cast<int>(n) : 0;
    if (read != 0) tctlp->ibuf_length = 0;
    int rc = refuse_packet(tctlp, ZV_ERRM_UNKNOWN_ISAID_FOUND, capacity);
    tctlp->ibuf_length = ilen;
    return rc;
  }
  if (bad != nullptr) {
    // A header that is not three whole lines is no packet file: refused, the file kept.
    if (too_long)
      zv_log(-1, "ERROR: line %d of packet file %s is longer than %zu characters\n", bad->number,
             path, kMaxPacketLine);
    else if (line_errno != 0)
      zv_log(-1, "ERROR: Cannot read %s in packet file %s, returned errno %d\n", bad->what, path,
             line_errno);
    else
      zv_log(-1, "ERROR: Cannot read %s in packet file %s: the file ends before it\n", bad->what,
             path);
    refuse_unread(tctlp);
    return -1;
  }
  if (read != 0) return read_failed(tctlp, read, read_errno, path, "packet_in_buf");
  tctlp->imsg_length = static_cast<int>(n);
  int priority;
  if (!priority_flag(prio, &priority)) {
    zv_log(-1, "ERROR: priority flag (line 3) of packet file %s is neither 0 nor 1 - message not "
               "sent\n",
           path);
    return refuse_packet(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, capacity);
  }
  tctlp->iPriority = priority;
  if (n == 0) {
    // Nothing the ZVP process could decode: refused as bad input, the file kept.
    zv_log(-1, "ERROR: packet file %s holds no packet after its three lines - message not sent\n",
           path);
    return refuse_packet(tctlp, ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND, capacity);
  }
  zv_log(0, "WARNING: sending RAW ZV packet message to server\n");
  // Whole, NULs and all: a packet is a ready envelope, whose octets may be 0.
  size_t len = n;
  if (len > static_cast<size_t>(capacity)) {
    zv_log(-1, "ERROR: packet of %zu bytes does not fit the output buffer of %d bytes\n", len,
           capacity);
    return -1;
  }
  memcpy(tctlp->obufferp, tctlp->ibufferp, len);
  tctlp->obuf_length = static_cast<int>(len);
  int rc = client_handler(tctlp, static_cast<zvPortType>(tctlp->iPriority));
  // Only now is the packet handed over, and the record names its own partner's address.
  if (rc == 0) transaction_logging(tctlp, ZV_SUCCESSFUL_TRANSMISSION);
  tctlp->obuf_length = capacity;
  return rc;
}
