#include "runtime/zv_services.h"

zv_services_t zv_services = {};
