#include "client/zv_interfaces.h"

#include <cerrno>
#include <cstdio>

#include "client/zv_client_util.h"
#include "client/zv_input.h"
#include "runtime/zv_handles.h"
#include "runtime/zv_process.h"

using namespace zv_input;

namespace {

constexpr const char *kSource = "zv_in_file";

}  // namespace

int file_in_buf(Trans_ctl_rec *tctlp, const char *path) {
  if (tctlp == nullptr || path == nullptr) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zv_file_ptr f = open_document(tctlp, path);
  if (!f) return -1;
  zv_started();
  return file_document(tctlp, f.get(), path, "file");
}

int zv_input::file_document(Trans_ctl_rec *tctlp, FILE *f, const char *path, const char *interface,
                            read_check *check) {
  if (tctlp == nullptr || path == nullptr || tctlp->ibufferp == nullptr || tctlp->ibuf_length < 1) {
    zv_client::soft_assert(kSource, __LINE__);
    return -1;
  }
  zero_buffers(tctlp);
  size_t n = 0;
  int read = read_rest(f, tctlp->ibufferp, static_cast<size_t>(tctlp->ibuf_length) - 1, &n);
  int read_errno = errno;
  if (check != nullptr && !check->unchanged()) {
    check->changed = true;
    return -1;
  }
  if (read != 0) return read_failed(tctlp, read, read_errno, path, "file_in_buf");
  tctlp->imsg_length = static_cast<int>(n);
  int refused;
  if (zv_refuse_inner_nul(tctlp, n, interface, path, &refused)) return refused;
  return client_handler(tctlp, static_cast<zvPortType>(tctlp->iPriority));
}
