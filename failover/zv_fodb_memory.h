// What Berkeley DB holds in this process for each environment of the failover store:
// the heap blocks it allocates, taken through the library's allocation hooks, and its
// mappings of the environment's region files ("__db.001" ...).
//
// Why: once an environment has been marked failed (another process recovered it, or a
// process ended inside a call), the library's close gives back only the process's place
// in the registry and its file descriptors. It leaves its own structures and the region
// mappings in place, because a normal close would go through the shared regions, whose
// mutexes a dead process may still hold. A process that reopens its store would keep one
// old environment per reopen. After each close the store gives back here what the
// library left of that environment, touching nothing but this process's own memory.
//
// The same noted mappings say how far each region file may grow: the disk under them is
// reserved once the environment is open, so that no page of a region can fault on a
// full file system (reserve_regions).
//
// The regions are noted from the process's own mapping list (/proc/self/maps). A process
// that cannot read it, or does not find an environment's regions in it, says so once at
// level -1; its reopens then keep the old regions mapped (the heap part is still given
// back), and only the part of each region the library filled at its creation is sure
// to have its disk. The library's own region hooks are not used: they would replace its mapping of
// regions altogether, its creation order and its removal of region files included.
//
// What the give-back relies on being off, because each keeps references into an
// environment's structures past its close, or maps its memory where it is not noted
// here: XA, failchk and set_isalive, replication, DB_SYSTEM_MEM (regions in System V
// memory), and memory-mapped database files (the store opens its database read-write,
// so the library maps none).
//
// Used by zv_fodb.cc only. Safe for threads: the owner of what the library allocates is
// the calling thread's current scope, and the ledger has its own lock. The allocation
// hooks never throw: a block that cannot be recorded stays untracked and is freed as
// usual. A fork while another thread holds the ledger's lock would leave it held in the
// child; failoverd daemonizes before it opens the store, so its forks come first. A
// forked child inherits the parent's records and must not release an environment it did
// not open (it must not use the parent's handles at all).
#ifndef ZV_FAILOVER_ZV_FODB_MEMORY_H
#define ZV_FAILOVER_ZV_FODB_MEMORY_H

#include <cstddef>

namespace fodb_memory {

// Routes the library's allocations through this module from now on; idempotent. Blocks
// the library allocated before stay untracked and are freed as usual.
void install();

// A fresh owner for an environment about to be created; never 0.
unsigned new_owner();

// While a Scope lives, what the library allocates in this thread belongs to `owner`
// (0: to no environment; such blocks are never released here). Scopes nest.
class Scope {
 public:
  explicit Scope(unsigned owner);
  ~Scope();
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;

 private:
  unsigned saved_;
};

// Right after the environment of `owner` has been opened at `home` (an absolute path
// without symbolic links): notes its region mappings.
void note_regions(unsigned owner, const char *home) noexcept;

// Gives each region file of `owner` noted above the disk blocks under its whole mapping,
// without changing its size or its bytes. The library maps a region at its largest size
// while the file holds only what is in use, and grows the file into the mapping later,
// each time writing only its last byte: a page of such a hole, first touched on a full
// file system, would end the process with SIGBUS. 0, or the errno of the first file that
// could not be given its blocks (ENOSPC: the file system is full; EOPNOTSUPP: it cannot
// reserve blocks). Nothing noted (no mapping list) is 0.
int reserve_regions(unsigned owner) noexcept;

// After the environment of `owner` has been closed, whatever its close returned: unmaps
// its region mappings that are still there and frees the blocks the library still holds
// for it. After a normal close there is nothing left to give back.
void release(unsigned owner) noexcept;

// The library's blocks that belong to an environment, alive now.
struct Usage {
  size_t blocks = 0;
  size_t bytes = 0;
};
Usage usage();

}  // namespace fodb_memory

#endif
