#include "runtime/zv_mappings.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kDeletedMark[] = " (deleted)";

// One line of the maps list: "start-end perms offset dev inode [path]".
bool parse_line(const char *line, zv_mapping_t *m) {
  unsigned long start = 0, end = 0, inode = 0;
  int path_at = 0;
  if (sscanf(line, "%lx-%lx %*s %*x %*s %lu %n", &start, &end, &inode, &path_at) != 3 ||
      path_at <= 0)
    return false;
  std::string path(line + path_at);
  if (!path.empty() && path.back() == '\n') path.pop_back();
  size_t mark = sizeof kDeletedMark - 1;
  m->deleted = path.size() > mark && path.compare(path.size() - mark, mark, kDeletedMark) == 0;
  if (m->deleted) path.resize(path.size() - mark);
  m->start = start;
  m->end = end;
  m->inode = inode;
  m->path = std::move(path);
  return true;
}

}  // namespace

std::vector<zv_mapping_t> zv_file_mappings(pid_t pid, const std::string &prefix,
                                           int *error) {
  std::vector<zv_mapping_t> found;
  if (error) *error = 0;
  char name[64];
  if (pid == 0) {
    snprintf(name, sizeof name, "/proc/self/maps");
  } else {
    snprintf(name, sizeof name, "/proc/%ld/maps", static_cast<long>(pid));
  }
  FILE *in = fopen(name, "re");
  if (in == nullptr) {
    if (error) *error = errno != 0 ? errno : EIO;
    return found;
  }
  // A path of any length: the line is read in pieces until its newline.
  std::string line;
  char piece[512];
  while (fgets(piece, sizeof piece, in) != nullptr) {
    line += piece;
    if (line.back() != '\n' && !feof(in)) continue;
    zv_mapping_t m;
    if (parse_line(line.c_str(), &m) && m.path.compare(0, prefix.size(), prefix) == 0)
      found.push_back(std::move(m));
    line.clear();
  }
  if (ferror(in) && error) *error = errno != 0 ? errno : EIO;
  fclose(in);
  return found;
}

int zv_unmap(const zv_mapping_t &m) {
  if (m.end <= m.start) {
    errno = EINVAL;
    return -1;
  }
  return munmap(reinterpret_cast<void *>(m.start), m.end - m.start);
}
