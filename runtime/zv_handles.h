// Owners of the C library's handles the modules open themselves: streams, directory
// streams and descriptors, each closed when its owner goes out of scope. A caller that
// needs the result of the close takes the handle back first (release) and closes it.
//
// An owner belongs to one thread at a time; the handles themselves follow the C library.
#ifndef ZV_RUNTIME_ZV_HANDLES_H
#define ZV_RUNTIME_ZV_HANDLES_H

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

struct zv_file_closer {
  void operator()(FILE *f) const { fclose(f); }
};
using zv_file_ptr = std::unique_ptr<FILE, zv_file_closer>;

struct zv_dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};
using zv_dir_ptr = std::unique_ptr<DIR, zv_dir_closer>;

// A descriptor, -1 for none.
class zv_fd {
 public:
  explicit zv_fd(int fd = -1) : fd_(fd) {}
  ~zv_fd() { reset(); }
  zv_fd(const zv_fd &) = delete;
  zv_fd &operator=(const zv_fd &) = delete;

  int get() const { return fd_; }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

#endif
