// Types and tables that every library of both programs shares: the transaction record
// that travels through each layer, the shared enumerations, the trading-partner and
// certificate records, and the address texts of the local transport.
//
// Plain data only. The tables are process-wide globals, written during start-up on the
// main thread and read-only afterwards, so any thread may read them.
#ifndef ZV_RUNTIME_ZV_COMMON_H
#define ZV_RUNTIME_ZV_COMMON_H

#include <ctime>

#include <openssl/types.h>

constexpr int ZV_PATH_SIZE = 4097;   // every path held in a character array
constexpr int ZV_MAX_TP = 64;        // partner, remote-certificate, local-certificate, activity tables
constexpr int ZV_ISA_LINE_SIZE = 106;
constexpr int ZV_DIGEST_SIZE = 2049; // digest text with its NUL
constexpr int ZV_MAX_DIGEST_LENGTH = ZV_DIGEST_SIZE - 1;

// Address texts of the local transport.
typedef char st_socaddr_t[64];   // "host:port"
typedef char st_ipaddr_t[20];    // dotted address
typedef char st_tpid_str_t[31];  // flattened partner id

typedef time_t time_dur_t;  // a count of seconds

// The field `who` of a transaction: selects the transaction log, the failed-message
// directory and the statistics slot. -1 means no transaction (alert line only).
enum zv_who_t {
  ZV_WHO_NONE = -1,
  ZV_WHO_STD_CLIENT = 0,
  ZV_WHO_RECEIPT_CLIENT = 1,
  ZV_WHO_STD_SERVER = 2,
  ZV_WHO_HPRI_SERVER = 3,
  ZV_WHO_SSL_STD_CLIENT = 4,
  ZV_WHO_SSL_RECEIPT_CLIENT = 5,
  ZV_WHO_SSL_STD_SERVER = 6,
  ZV_WHO_SSL_HPRI_SERVER = 7,
};

// The field `msg_type` of a transaction.
enum zv_msg_type_t {
  ZV_MT_BASIC_EDI = 1,
  ZV_MT_INTEGRITY_EDI = 2,
  ZV_MT_SIGNED_EDI = 3,
  ZV_MT_BASIC_RECEIPT = 4,
  ZV_MT_INTEGRITY_RECEIPT = 5,
  ZV_MT_SIGNED_RECEIPT = 6,
  ZV_MT_TEXT = 7,
  ZV_MT_XML = 8,
  ZV_MT_STATUS = 9,
};

enum zvPortType { STD_PORT = 0, HIPRI_PORT = 1 };

// The running role, `zv_process_id`. Not the numbering of `who`, nor that of the
// configuration's process kinds.
enum zv_process_t {
  ZV_UNSET_PROCESS = -1,
  ZV_CLIENT_PROCESS = 0,
  ZV_STD_SERVER_PROCESS = 1,
  ZV_HPRI_SERVER_PROCESS = 2,
  ZV_SSL_PROCESS = 3,
  ZV_FAILOVER_PROCESS = 4,
  ZV_RECEIPT_PROCESS = 5,
};

// Envelope and receipt types of a partner (the configuration words are the names).
enum zvmt { UNSUPPORTED_MT = -1, BASIC_EDI = 1, INTEGRITY_EDI = 2, SIGNED_EDI = 3 };
enum zvrt {
  UNSUPPORTED_RT = -1,
  NO_RECEIPT = 1,
  BASIC_RECEIPT = 2,
  INTEGRITY_RECEIPT = 3,
  SIGNED_RECEIPT = 4,
};
enum zvfl {
  UNSUPPORTED = -1,
  ECIC_12_98 = 1,
  ECIC_3_99 = 2,
  T1M15_3_99 = 3,
  ITU_2_2000 = 4,
  TCIF_1_2001 = 5,
  ANSI_3_2001 = 6,
};
enum eZvCustomPartners {
  UNSUPPORTED_CTP = -1,
  VERIZON_EAST = 1,
  VERIZON_WEST = 2,
  SBC_PAC_BELL = 3,
  SBC_SWBT = 4,
  SBC_AMERITECH = 5,
  SBC_SNET = 6,
  QWEST = 7,
};

// One trading-partner endpoint. An entry whose isaid[0] is NUL is free and ends the table.
struct tp_rec {
  char isaid[16];
  char local_id[16];
  char remote_id[16];
  char cname[65];
  char ip[16];
  int port;
  int hipriport;
  int timeout;
  zvmt svrZvMessageType;
  zvmt cliZvMessageType;
  zvrt svrZvReceiptType;
  zvrt cliZvReceiptType;
  int active;
  zvfl zvflavor;
  eZvCustomPartners custom_zv;
  int count;
  int max_count;
  int loaded;
  int rcert_index;
  int lcert_index;
};
typedef tp_rec Tpartner_rec;

// One remote certificate of a partner.
struct remote_cert_rec {
  char cname[65];
  int msg_retry_limit;
  int receipt_timeout;
  time_dur_t inactivity_dur;
  time_dur_t lifetime_dur;
  int bidirectional_flag;
  int max_inbound_connections;
};
typedef remote_cert_rec zv_remote_cert_t;

// One local identity (a ZVP_PROCESS section). The private key is an RSA key held as
// an EVP_PKEY. An entry whose zvp_reference[0] is NUL is empty.
struct local_cert_rec {
  char zvp_reference[64];
  int zvp_version;
  X509 *pLocalCert;
  EVP_PKEY *pLocalPrivateKey;
  st_socaddr_t transport_listen_socaddr;
  int pacing_delay;
};
typedef local_cert_rec zv_local_cert_t;

// One transaction inside a process. Between processes its contents travel as the
// control frame and the data frames of the local transport.
//
// Ownership: the buffers and certificates belong to whoever owns the record; `dest_ip`
// points at text owned elsewhere (a partner entry or the receiver's address buffer).
struct Trans_ctl_rec {
  int who;        // zv_who_t
  int msg_type;   // zv_msg_type_t
  int iPriority;  // zvPortType
  char isa_line[ZV_ISA_LINE_SIZE];
  char *dest_ip;
  int dest_port;
  int status;     // last result reported for it (zv_error_values)
  char *ibufferp;
  int ibuf_length;
  int imsg_length;
  int ibuf_alloc_length;
  char *obufferp;
  int obuf_length;
  int omsg_length;
  int obuf_alloc_length;
  char digest[ZV_DIGEST_SIZE];
  int digest_length;
  X509 *pLocalCert;
  X509 *pRemoteCert;
  int tp_index;
  int ccache_index;
  int cert_index;
  int zvp_version;
  SSL *pssl;
  SSL_CTX *pctx;
};

// The partner table: filled from index 0 in file order by the trading-partner loader.
extern Tpartner_rec partner[ZV_MAX_TP];

#endif
