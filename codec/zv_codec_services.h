// Registers the object-identifier service of this library with the runtime (see
// runtime/zv_services.h). Call once, before start-up.
#ifndef ZV_CODEC_ZV_CODEC_SERVICES_H
#define ZV_CODEC_ZV_CODEC_SERVICES_H

void zv_register_codec_services();

#endif
