#include "failover/zv_fodb_memory.h"

#include <db.h>

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

void *library_malloc(size_t size) {
  void *p = malloc(size);
  unsigned owner = current_owner;
  if (p != nullptr && owner != 0) {
    State &s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.blocks[p] = Block{owner, size};
  }
  return p;
}

void library_free(void *p) {
  if (p == nullptr) return;
  {
    State &s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.blocks.erase(p);
  }
  free(p);
}

// A block keeps the owner it was made for. realloc(p, 0) would free p and answer null,
// so a size of 0 asks for one byte.
void *library_realloc(void *p, size_t size) {
  if (p == nullptr) return library_malloc(size);
  if (size == 0) size = 1;
  State &s = state();
  Block block{0, 0};
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto it = s.blocks.find(p);
    if (it != s.blocks.end()) {
      block = it->second;
      s.blocks.erase(it);
    }
  }
  void *q = realloc(p, size);
  if (block.owner != 0) {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (q != nullptr) {
      s.blocks[q] = Block{block.owner, size};
    } else {
      s.blocks[p] = block;
    }
  }
  return q;
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

void note_regions(unsigned owner, const char *home) {
  if (owner == 0 || home == nullptr) return;
  Regions noted;
  noted.prefix = std::string(home) + "/" + kRegionPrefix;
  for (zv_mapping_t &m : zv_file_mappings(0, noted.prefix))
    if (is_region(m, noted.prefix)) noted.mappings.push_back(std::move(m));
  State &s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.regions[owner] = std::move(noted);
}

void release(unsigned owner) {
  if (owner == 0) return;
  State &s = state();
  Regions noted;
  std::vector<void *> left;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    auto r = s.regions.find(owner);
    if (r != s.regions.end()) {
      noted = std::move(r->second);
      s.regions.erase(r);
    }
    for (auto it = s.blocks.begin(); it != s.blocks.end();) {
      if (it->second.owner == owner) {
        left.push_back(it->first);
        it = s.blocks.erase(it);
      } else {
        ++it;
      }
    }
  }
  // What the library unmapped itself is no longer listed; what it left is unmapped
  // before the structures that pointed into it go.
  if (!noted.mappings.empty()) {
    for (const zv_mapping_t &now : zv_file_mappings(0, noted.prefix)) {
      bool ours = false;
      for (const zv_mapping_t &m : noted.mappings) ours = ours || within(now, m);
      if (ours && zv_unmap(now) != 0)
        zv_log(-1, "ERROR: cannot unmap %s: %s\n", now.path.c_str(), strerror(errno));
    }
  }
  for (void *p : left) free(p);
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
