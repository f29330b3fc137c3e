#include "codec/zv_codec_services.h"

#include "runtime/zv_services.h"

void zv_register_codec_services() {}
