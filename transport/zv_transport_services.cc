#include "transport/zv_transport_services.h"

#include "codec/zv_codec_services.h"
#include "partners/zv_partner_services.h"
#include "runtime/zv_services.h"
#include "transport/zv_transport.h"

void zv_register_transport_services() { zv_services.send_transport_msg = send_transport_msg; }

void zv_register_all_services() {
  zv_register_partner_services();
  zv_register_codec_services();
  zv_register_transport_services();
}
