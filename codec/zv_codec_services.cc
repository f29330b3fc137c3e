#include "codec/zv_codec_services.h"

#include "codec/zv_oids.h"
#include "runtime/zv_services.h"

void zv_register_codec_services() {
  zv_services.load_zvObjectIdentifiers = [] {
    load_zvObjectIdentifiers();
    return 0;
  };
}
