#include "partners/zv_partner_services.h"

#include "partners/zv_crypto.h"
#include "runtime/zv_services.h"

void zv_register_partner_services() {
  zv_services.dump_X509 = dump_X509;
}
