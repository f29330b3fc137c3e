// A process's file mappings as the kernel lists them (/proc/<pid>/maps), and the unmapping
// of this process's own. Used by the failover store, which must give back the mappings
// of a database environment that its library leaves behind, and by tests that look at
// what another process keeps mapped.
//
// Safe for threads; nothing is shared between processes. Unmapping is the caller's
// business: only a mapping that nothing in the process will touch again may go.
#ifndef ZV_RUNTIME_ZV_MAPPINGS_H
#define ZV_RUNTIME_ZV_MAPPINGS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct zv_mapping_t {
  uintptr_t start = 0;
  uintptr_t end = 0;     // one past the last byte
  unsigned long inode = 0;
  std::string path;      // without the kernel's " (deleted)" mark
  bool deleted = false;  // the file was removed while mapped
};

// The mappings of process `pid` (0: this one) of files whose path begins with
// `prefix`. Empty when the list cannot be read (a process that has ended, no /proc);
// *error, when given, is then the reason (an errno value), else 0.
std::vector<zv_mapping_t> zv_file_mappings(pid_t pid, const std::string &prefix,
                                           int *error = nullptr);

// Unmaps one mapping of this process; 0, or -1 with errno.
int zv_unmap(const zv_mapping_t &m);

#endif
