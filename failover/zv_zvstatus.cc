#include "failover/zv_zvstatus.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "runtime/zv_errors.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"
#include "runtime/zv_statsdb.h"
#include "runtime/zv_status_code.h"
#include "runtime/zv_tempfile.h"
#include "runtime/zv_translog.h"

namespace {

// The sending partner's ISA id, or nullptr (logged) when the record names no partner.
const char *partner_isaid(const Trans_ctl_rec *tctlp, const char *what) {
  if (tctlp == nullptr) {
    zv_log(-1, "ERROR: %s: no transaction record - skipping message\n", what);
    return nullptr;
  }
  int i = tctlp->tp_index;
  if (i < 0 || i >= ZV_MAX_TP || partner[i].isaid[0] == '\0') {
    zv_log(-1, "ERROR: %s: no Trading Partner for index %d - skipping message\n", what, i);
    return nullptr;
  }
  return partner[i].isaid;
}

// A status file name must stay in the working directory.
bool usable_isaid(const char *isaid) {
  return isaid[0] != '\0' && strchr(isaid, '/') == nullptr && strstr(isaid, "..") == nullptr;
}

void report(Trans_ctl_rec *tctlp, int code) {
  if (tctlp != nullptr) transaction_logging(tctlp, code);
}

}  // namespace

int processZVstatusMsg(Trans_ctl_rec *tctlp, char *bufferp, int blen) {
  const char *isaid = partner_isaid(tctlp, "processZVstatusMsg");
  if (isaid == nullptr) return 0;
  if (blen < 0 || (bufferp == nullptr && blen > 0)) {
    zv_log(-1, "ERROR: ZV Status message from %s has no text (length %d) - skipping message\n",
           isaid, blen);
    return 0;
  }
  // A comparison covers at most the pattern's own 32 characters, so a longer text that
  // begins with a pattern is that status, and an empty one is TEST.
  size_t n = static_cast<size_t>(blen < ZV_STATUS_PATTERN_LENGTH ? blen : ZV_STATUS_PATTERN_LENGTH);
  for (int flag = 0; flag < ZV_STATUS_CODES; flag++) {
    if (n == 0 || memcmp(bufferp, zv_status_code[flag], n) == 0) {
      update_zvstatus(tctlp, flag);
      return 0;
    }
  }
  char suffix[] = "status";
  status_file_out(tctlp, partner[tctlp->tp_index].isaid, bufferp, blen, suffix);
  return 0;
}

void update_zvstatus(Trans_ctl_rec *tctlp, int flag) {
  const char *isaid = partner_isaid(tctlp, "update_zvstatus");
  if (isaid == nullptr) return;
  char *id = partner[tctlp->tp_index].isaid;
  switch (flag) {
    case ZV_STATUS_TEST:
      zv_log(1, "INFO: Received an ZV Status TEST message from %s\n", isaid);
      break;
    case ZV_STATUS_STOP_WAN:
      zv_log(1, "INFO: Received an ZV Status STOP_WAN message from %s\n", isaid);
      [[fallthrough]];
    case ZV_STATUS_STOP_OSS: {
      zv_log(1, "INFO: Received an ZV Status STOP_OSS message from %s\n", isaid);
      iUpdateTPActiveDB(isaid, -1);
      char text[] = "Received an ZV Status STOP request";
      char suffix[] = "stop";
      status_file_out(tctlp, id, text, sizeof text, suffix);
      break;
    }
    case ZV_STATUS_RESTART: {
      zv_log(1, "INFO: Received an ZV Status RESTART message from %s\n", isaid);
      iUpdateTPActiveDB(isaid, 1);
      char text[] = "Received an ZV Status RESTART request";
      char suffix[] = "start";
      status_file_out(tctlp, id, text, sizeof text, suffix);
      break;
    }
    case ZV_STATUS_PING_REQUEST:
      zv_log(1, "INFO: Received an ZV Status PING_REQUEST message from %s\n", isaid);
      break;
    case ZV_STATUS_PING_RESPONSE:
      zv_log(1, "INFO: Received an ZV Status PING_RESPONSE message from %s\n", isaid);
      break;
    default:
      zv_log(1, "INFO: Received an unkown ZV Status message from %s - skipping message\n",
             isaid);
      break;
  }
}

int status_file_out(Trans_ctl_rec *tctlp, char *isaidp, char *bufferp, int blen,
                    char *suffixp) {
  const char *isaid = isaidp != nullptr ? isaidp : "";
  char prefix[ZV_PATH_SIZE];
  char final_name[ZV_PATH_SIZE];
  int np = snprintf(prefix, sizeof prefix, "%s.tmp", isaid);
  int nf = snprintf(final_name, sizeof final_name, "%s.%s", isaid,
                    suffixp != nullptr ? suffixp : "");
  if (!usable_isaid(isaid) || suffixp == nullptr || suffixp[0] == '\0' ||
      strchr(suffixp, '/') != nullptr || np < 0 || np >= static_cast<int>(sizeof prefix) - 6 ||
      nf < 0 || nf >= static_cast<int>(sizeof final_name)) {
    zv_log(-1, "ERROR: Cannot open %s for writing\n", prefix);
    zv_log(-1, "ERROR: [%s] cannot name a status file in the working directory\n", isaid);
    report(tctlp, ZV_ERRM_CANNOT_OPEN_OUTPUT_FILE);
    return -1;
  }

  // A unique temporary name, so that two processes writing for the same partner never
  // share a half-written file.
  char temp[ZV_PATH_SIZE];
  int fd = zv_open_temp(prefix, temp, sizeof temp);
  zv_file_ptr out(fd >= 0 ? fdopen(fd, "w") : nullptr);
  if (!out) {
    int e = errno;
    zv_log(-1, "ERROR: Cannot open %s for writing\n", fd >= 0 ? temp : prefix);
    zv_log(-1, "ERROR: creating a file beside %s: %s\n", prefix, strerror(e));
    if (fd >= 0) {
      close(fd);
      unlink(temp);
    }
    report(tctlp, ZV_ERRM_CANNOT_OPEN_OUTPUT_FILE);
    return -1;
  }

  bool ok = true;
  int err = 0;
  if (blen < 0 || (bufferp == nullptr && blen > 0)) {
    ok = false;
    err = EINVAL;
  } else if (blen > 0 && fwrite(bufferp, 1, static_cast<size_t>(blen), out.get()) !=
                             static_cast<size_t>(blen)) {
    ok = false;
    err = errno;
  }
  if (ok && (fflush(out.get()) != 0 || ferror(out.get()))) {
    ok = false;
    err = errno;
  }
  int closed = fclose(out.release());
  if (ok && closed != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    zv_log(-1, "ERROR: Cannot write %s, returned errno %d\n", temp, err);
    unlink(temp);
    report(tctlp, ZV_ERRM_CANNOT_WRITE_OUTPUT_FILE);
    return -1;
  }
  safe_rename(temp, final_name, ".", "stat_", 1);
  return 0;
}
