// Registers the transaction send of this library with the runtime, and, in one call,
// the services of every library (see runtime/zv_services.h). Call once, before start-up.
#ifndef ZV_TRANSPORT_ZV_TRANSPORT_SERVICES_H
#define ZV_TRANSPORT_ZV_TRANSPORT_SERVICES_H

void zv_register_transport_services();

// Partners, codec and transport services together: what both programs call.
void zv_register_all_services();

#endif
