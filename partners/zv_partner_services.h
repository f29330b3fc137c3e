// Registers the local-identity, trading-partner and printout services of this library
// with the runtime (see runtime/zv_services.h). Call once, before start-up.
#ifndef ZV_PARTNERS_ZV_PARTNER_SERVICES_H
#define ZV_PARTNERS_ZV_PARTNER_SERVICES_H

void zv_register_partner_services();

#endif
