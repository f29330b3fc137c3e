#include "client/zv_interfaces.h"

#include <cstdio>
#include <cstring>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_log.h"
#include "runtime/zv_process.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_test";

}  // namespace

const char zv_test_message[ZV_TEST_MESSAGE_LENGTH + 1] =
    "ISA^00^ZOLVAR    ^00^TEST      ^ZZ^DXC7           ^ZZ^DXC_TEST       "
    "^990629^1248^U^00303^000000001^0^T^>\n"
    "GS^PO^CLECAPP^DXC^990629^1248^000001^X^003030\n"
    "ST^864^000000001\n"
    "BMG^28\n"
    "DTM^097^990629^124849^21^19\n"
    "MIT^000000001\n"
    "MSG^This is test message from DXC7 to DXC_TEST over Zolvar\n"
    "MSG^This is test message line 2\n"
    "MSG^This is test message line 3\n"
    "MSG^This is test message line 4\n"
    "MSG^This is test message line 5\n"
    "MSG^This is test message line 6\n"
    "MSG^This is test message line 7\n"
    "MSG^This is test message line 8\n"
    "MSG^This is test message line 9\n"
    "CTT^0\n"
    "SE^14^000000001\n"
    "GE^1^000001\n"
    "IEA^1^000000001\n";
static_assert(sizeof zv_test_message == ZV_TEST_MESSAGE_LENGTH + 1);

int test_in_buf(Trans_ctl_rec *tctlp) {
  if (tctlp == nullptr || tctlp->ibufferp == nullptr ||
      tctlp->ibuf_length < ZV_TEST_MESSAGE_LENGTH + 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_started();
  tctlp->iPriority = STD_PORT;
  zero_buffers(tctlp);
  zv_log(-1, "WARNING: loading test message in client\n");
  memcpy(tctlp->ibufferp, zv_test_message, sizeof zv_test_message);
  tctlp->imsg_length = ZV_TEST_MESSAGE_LENGTH;
  if (zv_packet_mode_flag == 1) {
    // In packet mode the test message is itself the ready packet, for the partner its
    // ISA ids name (DXC7 to DXC_TEST).
    int capacity = tctlp->obuf_length;
    char local[ZV_ISA_ID_LENGTH + 1], remote[ZV_ISA_ID_LENGTH + 1];
    snprintf(local, sizeof local, "%.*s", ZV_ISA_ID_LENGTH, zv_test_message + ZV_ISA06_OFFSET);
    snprintf(remote, sizeof remote, "%.*s", ZV_ISA_ID_LENGTH, zv_test_message + ZV_ISA08_OFFSET);
    snprintf(tctlp->isa_line, sizeof tctlp->isa_line, "%.*s", ZV_ISA_SEGMENT_LENGTH,
             zv_test_message);
    tctlp->tp_index = tpLookup(local, remote, 0);
    if (capacity < ZV_TEST_MESSAGE_LENGTH || tctlp->obufferp == nullptr) {
      zv_client::soft_assert(kSource, __LINE__);
      return -1;
    }
    memcpy(tctlp->obufferp, zv_test_message, ZV_TEST_MESSAGE_LENGTH);
    tctlp->obuf_length = ZV_TEST_MESSAGE_LENGTH;
    int rc = client_handler(tctlp, STD_PORT);
    tctlp->obuf_length = capacity;
    return rc;
  }
  return client_handler(tctlp, STD_PORT);
}

int iSoap_in_buf() { return 0; }
