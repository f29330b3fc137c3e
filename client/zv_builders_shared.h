// The signed EDI envelope, built over the system's own records, that both protocol
// versions send unchanged: the version-2 and version-3 builders are this one function
// and differ only in the builder name their two debug lines carry.
//
// Internal to client/. No state; any thread.
#ifndef ZV_CLIENT_ZV_BUILDERS_SHARED_H
#define ZV_CLIENT_ZV_BUILDERS_SHARED_H

#include <openssl/types.h>

#include "runtime/zv_common.h"

namespace zv_client {

// AsciiEDI_2_EDIwNR (client/zv_message.h) under the name `builder` ("AsciiEDI_2_EDIwNR",
// "AsciiEDI_2_EDIwNR_v3") in the lines "<builder>: Using Local X.509 Cert" (debug bit
// 128) and "<builder>: Using RSA Private Key" (debug bit 64).
int signed_edi_envelope(const char *builder, Trans_ctl_rec *tctlp, const char *ibufp,
                        char *obufp, int obuf_size, EVP_PKEY *pRsa);

}  // namespace zv_client

#endif
