#include "failover/zv_fodb_memory.h"

#include <db.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/zv_log.h"
#include "runtime/zv_mappings.h"

namespace fodb_memory {
namespace {

constexpr char kRegionPrefix[] = "__db.";

struct Block {
  unsigned owner;
  size_t size;
};

struct Regions {
  std::string prefix;  // "<home>/__db."
  std::vector<zv_mapping_t> mappings;
};

// Never destroyed: the library may free blocks while the program's statics go.
struct State {
  std::mutex mutex;
  std::unordered_map<void *, Block> blocks;  // only blocks that belong to an environment
  std::map<unsigned, Regions> regions;
  unsigned last_owner = 0;
};

State &state() {
  static State *s = new State;
  return *s;
}

thread_local unsigned current_owner = 0;

// The hooks run inside the library's C frames, so nothing may leave them by an
// exception. A block whose record cannot be made stays untracked and is freed by the
// library as usual; a record that cannot be dropped stays, and its block is freed when
// its environment is given back.
void *library_malloc(size_t size) noexcept {
  void *p = malloc(size);
  unsigned owner = current_owner;
  if (p != nullptr && owner != 0) {
    State &s = state();
    try {
      std::lock_guard<std::mutex> guard(s.mutex);
      s.blocks[p] = Block{owner, size};
    } catch (...) {
    }
  }
  return p;
}

void library_free(void *p) noexcept {
  if (p == nullptr) return;
  State &s = state();
  try {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.blocks.erase(p);
  } catch (...) {
    return;
  }
  free(p);
}

// A block keeps the owner it was made for. realloc(p, 0) would free p and answer null,
// so a size of 0 asks for one byte. The ledger's lock is held across the realloc, so a
// moved block is never listed under an address it no longer has.
void *library_realloc(void *p, size_t size) noexcept {
  if (p == nullptr) return library_malloc(size);
  if (size == 0) size = 1;
  State &s = state();
  std::unique_lock<std::mutex> guard(s.mutex, std::defer_lock);
  try {
    guard.lock();
  } catch (...) {
    return nullptr;  // p is untouched, as after any failed realloc
  }
  auto it = s.blocks.find(p);
  void *q = realloc(p, size);
  if (q != nullptr && it != s.blocks.end()) {
    it->second.size = size;
    if (q != p) {
      // Listed again under its new address without allocating; should that fail, the
      // node goes with its handle and the block is untracked.
      auto node = s.blocks.extract(it);
      node.key() = q;
      try {
        s.blocks.insert(std::move(node));
      } catch (...) {
      }
    }
  }
  return q;
}

// Said once a process: without its regions noted, a failed environment's mappings stay.
void warn_not_noted(const std::string &home, const char *why) noexcept {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  zv_log(-1,
         "WARNING: cannot note the failover store's region mappings in %s (%s) - each reopen "
         "after another process recovered the store keeps the old store's regions mapped\n",
         home.c_str(), why);
}

// A region file: the prefix followed by digits only.
bool is_region(const zv_mapping_t &m, const std::string &prefix) {
  if (m.path.size() <= prefix.size()) return false;
  for (size_t i = prefix.size(); i < m.path.size(); ++i)
    if (m.path[i] < '0' || m.path[i] > '9') return false;
  return true;
}

bool within(const zv_mapping_t &now, const zv_mapping_t &noted) {
  return now.inode == noted.inode && now.path == noted.path && now.start >= noted.start &&
         now.end <= noted.end;
}

}  // namespace

void install() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (db_env_set_func_malloc(library_malloc) != 0 ||
        db_env_set_func_realloc(library_realloc) != 0 ||
        db_env_set_func_free(library_free) != 0)
      zv_log(-1, "WARNING: cannot follow the failover store's memory - a reopen may keep some\n");
  });
}

unsigned new_owner() {
  State &s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (++s.last_owner == 0) ++s.last_owner;
  return s.last_owner;
}

Scope::Scope(unsigned owner) : saved_(current_owner) { current_owner = owner; }
Scope::~Scope() { current_owner = saved_; }

void note_regions(unsigned owner, const char *home) noexcept {
  if (owner == 0 || home == nullptr) return;
  try {
    Regions noted;
    noted.prefix = std::string(home) + "/" + kRegionPrefix;
    int error = 0;
    for (zv_mapping_t &m : zv_file_mappings(0, noted.prefix, &error))
      if (is_region(m, noted.prefix)) noted.mappings.push_back(std::move(m));
    if (error != 0) {
      warn_not_noted(home, (std::string("/proc/self/maps: ") + strerror(error)).c_str());
    } else if (noted.mappings.empty()) {
      // How the kernel prints a path need not be how it was opened.
      warn_not_noted(home, "none listed in /proc/self/maps");
    }
    State &s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.regions[owner] = std::move(noted);
  } catch (...) {
    warn_not_noted(home, strerror(ENOMEM));
  }
}

int reserve_regions(unsigned owner) noexcept {
  if (owner == 0) return 0;
  State &s = state();
  // Each file's largest mapping; the library maps a region once, from its start.
  std::map<std::string, std::pair<unsigned long, size_t>> spans;
  try {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.regions.find(owner);
    if (it == s.regions.end()) return 0;
    for (const zv_mapping_t &m : it->second.mappings) {
      auto &span = spans[m.path];
      span.first = m.inode;
      span.second = std::max(span.second, static_cast<size_t>(m.end - m.start));
    }
  } catch (...) {
    return ENOMEM;
  }
  for (const auto &[path, span] : spans) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    struct stat st;
    int error = 0;
    // Another file by now under the name is not the one mapped: its own open reserves it.
    if (fstat(fd, &st) == 0 && static_cast<unsigned long>(st.st_ino) == span.first &&
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(span.second)) != 0)
      error = errno;
    close(fd);
    if (error != 0) return error;
  }
  return 0;
}

void release(unsigned owner) noexcept {
  if (owner == 0) return;
  State &s = state();
  Regions noted;
  try {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto node = s.regions.extract(owner);
    if (!node.empty()) noted = std::move(node.mapped());
  } catch (...) {
  }
  // What the library unmapped itself is no longer listed; what it left is unmapped
  // before the structures that pointed into it go.
  if (!noted.mappings.empty()) {
    try {
      for (const zv_mapping_t &now : zv_file_mappings(0, noted.prefix)) {
        bool ours = false;
        for (const zv_mapping_t &m : noted.mappings) ours = ours || within(now, m);
        if (ours && zv_unmap(now) != 0)
          zv_log(-1, "ERROR: cannot unmap %s: %s\n", now.path.c_str(), strerror(errno));
      }
    } catch (...) {
      zv_log(-1, "ERROR: cannot list the failover store's region mappings: %s\n",
             strerror(ENOMEM));
    }
  }
  try {
    std::lock_guard<std::mutex> guard(s.mutex);
    for (auto it = s.blocks.begin(); it != s.blocks.end();) {
      if (it->second.owner == owner) {
        free(it->first);
        it = s.blocks.erase(it);
      } else {
        ++it;
      }
    }
  } catch (...) {
  }
}

Usage usage() {
  State &s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  Usage u;
  u.blocks = s.blocks.size();
  for (const auto &entry : s.blocks) u.bytes += entry.second.size;
  return u;
}

}  // namespace fodb_memory
