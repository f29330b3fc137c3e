// OSSP mm core segments of this process: their creation, which leaves no lock file on
// disk, and the segment lock held together with a process-local mutex.
//
// mm locks a segment with fcntl on a lock file of its own, which keeps other processes
// out but lets every thread of this one through, so the mutex covers the threads. Left
// to itself mm would make that file at /tmp/mm.core.<pid>.sem, where any account can
// plant a file that stops the creation and where a killed process leaves one for good.
// mm needs the name only while it creates the file (exclusively); it then keeps the
// file open, locks through that descriptor (in processes forked later too) and at
// mm_core_delete merely tries to remove the name. So each segment's file is made in a
// fresh private directory, and the name and the directory are removed as soon as the
// segment exists. Only a process killed inside that short creation leaves the directory
// behind; its name carries the pid, so that a later creation by the same program removes
// it once that process is gone.
//
// Creation runs on the main thread at start-up; a lock object belongs to the thread
// that made it.
#ifndef ZV_RUNTIME_ZV_SEGMENT_LOCK_H
#define ZV_RUNTIME_ZV_SEGMENT_LOCK_H

#include <mm.h>

#include <cstddef>
#include <mutex>

// A new segment of `size` bytes; nullptr when it cannot be made (logged, or mm_error()
// says why). Its lock file is "<program>.mm.sem" in a directory "<program>.<pid>.XXXXXX"
// that mkdtemp makes (mode 0700) in $TMPDIR, else /tmp, for the duration of this call;
// /tmp also when $TMPDIR is unusable (missing, no directory, not writable), with a
// warning. A relative $TMPDIR is taken from the working directory of the call, which for
// the programs is the one they were started in: they make their segments at start-up,
// and daemonizing keeps the directory. Before the process's first creation in a place,
// directories of that pattern left there by this program's processes that no longer
// exist are removed, with the two files mm makes in them (nothing else, and nothing of
// another account or through a symbolic link).
void *zv_segment_create(size_t size);

class zv_segment_lock {
 public:
  // Takes the mutex, then reads the handle and takes the segment's lock: a handle that
  // its owner sets and clears under the same mutex cannot go away in between. A null
  // handle is never held.
  template <typename T>
  zv_segment_lock(T *const &handle, std::mutex &mutex)
      : guard_(mutex),
        segment_(handle),
        held_(segment_ != nullptr && mm_core_lock(segment_, MM_LOCK_RW) != 0) {}
  ~zv_segment_lock() {
    if (held_) mm_core_unlock(segment_);
  }
  zv_segment_lock(const zv_segment_lock &) = delete;
  zv_segment_lock &operator=(const zv_segment_lock &) = delete;

  // False when the handle was null under the mutex.
  bool exists() const { return segment_ != nullptr; }
  // False when the segment's lock could not be had; the caller reports it.
  bool held() const { return held_; }
  // Gives the segment's lock back before the end of the scope (the mutex stays held until
  // then). False when mm could not give it back.
  bool release() {
    held_ = false;
    return mm_core_unlock(segment_) != 0;
  }

 private:
  std::unique_lock<std::mutex> guard_;
  const void *segment_;
  bool held_;
};

#endif
