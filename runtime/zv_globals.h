// Process-wide settings and state: the option variables (filled by the option parser
// and the configuration walk during start-up), the role, the stop and reopen flags set
// by the signal handlers, and the file and directory names chosen at start-up.
//
// Written on the main thread during start-up only, read-only afterwards, except the
// two signal flags and the streams owned by the log and transaction-log modules.
#ifndef ZV_RUNTIME_ZV_GLOBALS_H
#define ZV_RUNTIME_ZV_GLOBALS_H

#include <atomic>
#include <cstdio>

#include <openssl/types.h>

#include "runtime/zv_common.h"

// Option variables, one per row of the option table.
extern int zv_sloppy_allow_flag;
extern int zv_sloppy_inactive_flag;
extern int zv_cache_size;
extern char zv_dirpath[ZV_PATH_SIZE];
extern char zv_filename[ZV_PATH_SIZE];
extern int zv_ignoreDupeReceipts_flag;
extern int zv_loopback_delay;
extern st_socaddr_t zv_server_socaddr;
extern int oneshot_flag;
extern st_socaddr_t zv_hpserver_socaddr;
extern char zv_rec_mode[16];
extern st_socaddr_t zv_socaddr;
extern st_socaddr_t zv_receipt_socaddr;
extern int print_version_flag;
extern char failoverd_dir_path[ZV_PATH_SIZE];
extern int zv_save_receipt_flag;
extern int zv_packet_mode_flag;
extern char zv_dirpath2[ZV_PATH_SIZE];
extern char configFileName[ZV_PATH_SIZE];
extern int debug_level;
extern char zv_entropySource[ZV_PATH_SIZE];
extern st_socaddr_t zv_socaddr2;
extern int server_hipriport;
extern char zv_interface[32];
extern int zv_cluster_num;
extern int dir_poll_delay;
extern int server_stdport;
extern int verify_hack_flag;
extern int rawMessage_flag;
extern char tpartnerFileName[ZV_PATH_SIZE];
extern int usage_flag;
extern int verbose_flag;
extern char CAfileName[ZV_PATH_SIZE];

// The version text of every banner and of `sZvVersion`.
constexpr char ZV_VERSION_TEXT[] = "3.1.1";

// Start-up state.
extern char sZvVersion[10];
extern char program[64];
extern int mypid;
extern zv_process_t zv_process_id;
// The two flags the signal handlers set. Lock-free atomics, so a handler may set them
// and any thread may poll them (the log reopen clears zv_flushlogs in one exchange).
extern std::atomic<int> zv_shutdown;   // set by SIGTERM and SIGALRM
extern std::atomic<int> zv_flushlogs;  // set by SIGUSR1
static_assert(std::atomic<int>::is_always_lock_free);

// File and directory names (relative to the working directory).
extern char logFileName[ZV_PATH_SIZE];
extern char errorFileName[ZV_PATH_SIZE];
extern char alertFileName[ZV_PATH_SIZE];
extern char logPath[ZV_PATH_SIZE];
extern char toRemoteFailedPath[ZV_PATH_SIZE];
extern char toSslRemoteFailedPath[ZV_PATH_SIZE];
extern char fromRemoteFailedPath[ZV_PATH_SIZE];
extern char fromSslRemoteFailedPath[ZV_PATH_SIZE];
extern char invalidPath[ZV_PATH_SIZE];
extern char pendingPath[ZV_PATH_SIZE];
extern char failoverPath[ZV_PATH_SIZE];
extern char failoverFullName[ZV_PATH_SIZE];
extern char tran_logpath[8][ZV_PATH_SIZE];
extern FILE *tran_logfile[8];

// Key and certificate files of the last local identity loaded; checked at start-up.
extern char keyFileName[ZV_PATH_SIZE];
extern char certificateFileName[ZV_PATH_SIZE];

// The running ZVP process's own identity (only a ZVP process sets these).
extern int zvp_version;
extern X509 *localCertificate;
extern EVP_PKEY *localPrivateKey;
extern st_socaddr_t zv_zvpproc_socaddr;

// Client role: the pacing delay (ms) of the last local identity used, and the named
// pipe of the pipe interface.
extern int zv_pacing_delay;
extern char zv_pipename2[ZV_PATH_SIZE];

// Failover mode, judged by its first character (N/n off, S/s standard priority only).
extern char failoverd[32];

// Settings that serve the ZVP process of an installation; no delivered process reads them.
struct CachedSession_rec {
  int tp_index;
  int usedCount;
  SSL *sslp;
  time_t cache_time;
  int state;
};
extern CachedSession_rec ccache[ZV_MAX_TP];
extern int iFdReceiptPipe;
extern int verifyDepth;
extern int verifyMode;
extern time_dur_t remote_lifetime_dur;
extern time_dur_t remote_inactivity_dur;
extern int zv_ssl_connect_retry_delay;
extern int zv_ssl_connect_queue_max;

#endif
