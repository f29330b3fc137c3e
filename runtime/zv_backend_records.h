// The records exchanged with the company's back-end system, defined once for both sides:
// the server role writes them (failover/zv_backend) and the client role reads them
// (client/zv_interfaces). Every integer is big-endian (runtime/zv_byteorder.h).
//
//   named pipe        u16 body length, u16 priority, body   (one record after another)
//   four-byte pipe    u32 body length, body                 (no priority)
//   socket            u32 body length, u16 priority, body   (one record per connection,
//                                                            nothing is answered)
//
// Constant data; any thread may use it.
#ifndef ZV_RUNTIME_ZV_BACKEND_RECORDS_H
#define ZV_RUNTIME_ZV_BACKEND_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "runtime/zv_byteorder.h"
#include "runtime/zv_common.h"

// The fields, in the order they travel.
constexpr size_t ZV_BE_PIPE_LENGTH_SIZE = 2;
constexpr size_t ZV_BE_PIPE4_LENGTH_SIZE = 4;
constexpr size_t ZV_BE_SOCKET_LENGTH_SIZE = 4;
constexpr size_t ZV_BE_PRIORITY_SIZE = 2;

// Whole headers, the body following at once.
constexpr size_t ZV_BE_PIPE_HEADER_SIZE = ZV_BE_PIPE_LENGTH_SIZE + ZV_BE_PRIORITY_SIZE;
constexpr size_t ZV_BE_PIPE4_HEADER_SIZE = ZV_BE_PIPE4_LENGTH_SIZE;
constexpr size_t ZV_BE_SOCKET_HEADER_SIZE = ZV_BE_SOCKET_LENGTH_SIZE + ZV_BE_PRIORITY_SIZE;

// The largest body a named-pipe record can carry.
constexpr int ZV_BE_PIPE_MAX_BODY = 65535;

// The priority field of the two records that carry one; the same numbers as zvPortType.
constexpr uint16_t ZV_BE_PRIORITY_STD = 0;
constexpr uint16_t ZV_BE_PRIORITY_HIGH = 1;
static_assert(ZV_BE_PRIORITY_STD == STD_PORT && ZV_BE_PRIORITY_HIGH == HIPRI_PORT);

// The pipe the server role writes its named-pipe records to, relative to the working
// directory.
constexpr char ZV_BE_PIPE_NAME[] = "./zvpipe";

#endif
