// The lock of one OSSP mm core segment, held together with a process-local mutex: mm
// locks a segment with fcntl on a per-process lock file, which keeps other processes out
// but lets every thread of this one through, so the mutex covers the threads.
//
// One lock object belongs to the thread that made it.
#ifndef ZV_RUNTIME_ZV_SEGMENT_LOCK_H
#define ZV_RUNTIME_ZV_SEGMENT_LOCK_H

#include <mm.h>

#include <mutex>

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
