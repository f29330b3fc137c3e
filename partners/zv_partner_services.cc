#include "partners/zv_partner_services.h"

#include "runtime/zv_services.h"

void zv_register_partner_services() {}
