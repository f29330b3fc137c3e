// The six status patterns that a status message carries: 32 characters of '0' and '1',
// a position holding '1' being set. The characters themselves are the contents of the
// status BIT STRING, so the client's builders and the server's status handling share
// this one table.
//
// Constant data; any thread may read it.
#ifndef ZV_RUNTIME_ZV_STATUS_CODE_H
#define ZV_RUNTIME_ZV_STATUS_CODE_H

constexpr int ZV_STATUS_PATTERN_LENGTH = 32;

// Row numbers of zv_status_code, also the `flag` of update_zvstatus and the status code
// of the status builders. PING_REQUEST and PING_RESPONSE are carried by version 3 only.
constexpr int ZV_STATUS_TEST = 0;
constexpr int ZV_STATUS_STOP_WAN = 1;
constexpr int ZV_STATUS_STOP_OSS = 2;
constexpr int ZV_STATUS_RESTART = 3;
constexpr int ZV_STATUS_PING_REQUEST = 4;
constexpr int ZV_STATUS_PING_RESPONSE = 5;
constexpr int ZV_STATUS_CODES = 6;

// Each row is its 32 pattern characters and a NUL.
extern const char zv_status_code[ZV_STATUS_CODES][ZV_STATUS_PATTERN_LENGTH + 1];

#endif
