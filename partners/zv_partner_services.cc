#include "partners/zv_partner_services.h"

#include "partners/zv_crypto.h"
#include "partners/zv_lcert.h"
#include "partners/zv_tpartner.h"
#include "runtime/zv_services.h"

void zv_register_partner_services() {
  zv_services.init_lcert_table = init_lcert_table;
  zv_services.load_lcert_table = load_lcert_table;
  zv_services.get_lcert_entry = get_lcert_entry;
  zv_services.read_TPfile = read_TPfile;
  zv_services.dump_X509 = dump_X509;
}
