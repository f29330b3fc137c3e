#include "runtime/zv_tempfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/zv_test_support.h"

// While set, this test program's file system has neither the no-replace rename nor hard
// links, as some network and user-space file systems: the runtime's own calls reach these
// two instead of the C library's.
static bool no_noreplace_calls = false;

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to,
                         unsigned int flags) noexcept {
  if (no_noreplace_calls && flags != 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

extern "C" int linkat(int from_dir, const char *from, int to_dir, const char *to,
                      int flags) noexcept {
  if (no_noreplace_calls) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(syscall(SYS_linkat, from_dir, from, to_dir, to, flags));
}

namespace {

mode_t mode_of(const std::string &path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(TempFile, TemporaryNameKeepsThePrefixAndTheUmaskMode) {
  std::string dir = zvtest::scratch_dir("tempfile");
  mode_t old = umask(027);
  char name[4096];
  int fd = zv_open_temp((dir + "/ACME.tmp").c_str(), name, sizeof name);
  umask(old);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string got = name;
  EXPECT_EQ(got.rfind(dir + "/ACME.tmp", 0), 0u) << got;
  EXPECT_EQ(got.size(), dir.size() + 9 + 6) << got;
  EXPECT_EQ(mode_of(got), 0640u);

  char tiny[8];
  errno = 0;
  EXPECT_EQ(zv_open_temp((dir + "/x").c_str(), tiny, sizeof tiny), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(zv_open_temp((dir + "/missing/x").c_str(), name, sizeof name), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(TempFile, SuffixFollowsTheRandomPartAndOwnerOnlyKeepsMkstempsMode) {
  std::string dir = zvtest::scratch_dir("tempfile");
  mode_t old = umask(022);
  char name[4096];
  int fd = zv_open_temp((dir + "/rr").c_str(), name, sizeof name, ".tmp", ZV_TEMP_OWNER_ONLY);
  umask(old);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string got = name;
  ASSERT_EQ(got.size(), dir.size() + 3 + 6 + 4) << got;
  EXPECT_EQ(got.rfind(dir + "/rr", 0), 0u) << got;
  EXPECT_EQ(got.substr(got.size() - 4), ".tmp") << got;
  EXPECT_NE(got.substr(dir.size() + 3, 6), "XXXXXX") << got;
  EXPECT_EQ(mode_of(got), 0600u);

  // The suffix counts towards the room the name needs.
  std::string start = dir + "/n";
  std::vector<char> exact(start.size() + 6 + 4 + 1);
  fd = zv_open_temp(start.c_str(), exact.data(), exact.size(), ".tmp");
  ASSERT_GE(fd, 0);
  close(fd);
  errno = 0;
  EXPECT_EQ(zv_open_temp(start.c_str(), exact.data(), exact.size() - 1, ".tmp"), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(TempFile, PutReplacesOrKeepsAndLeavesNoTemporaryFile) {
  std::string dir = zvtest::scratch_dir("tempfile");
  std::string path = dir + "/rec";
  const std::string first("one\0two\n", 8), second = "second";
  int err = -1;
  EXPECT_EQ(zv_put_file(path.c_str(), first.data(), first.size(), 0, &err), 0);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(zvtest::read_file(path), first);
  EXPECT_EQ(mode_of(path), 0666u & ~[] { mode_t m = umask(0); umask(m); return m; }());

  // Kept: the existing file is not touched.
  EXPECT_EQ(zv_put_file(path.c_str(), second.data(), second.size(), 0, &err), 1);
  EXPECT_EQ(zvtest::read_file(path), first);
  // Replaced.
  EXPECT_EQ(zv_put_file(path.c_str(), second.data(), second.size(), 1, &err), 0);
  EXPECT_EQ(zvtest::read_file(path), second);
  EXPECT_EQ(zv_put_file(path.c_str(), "", 0, 1, nullptr), 0);
  EXPECT_EQ(zvtest::read_file(path), "");
  EXPECT_EQ(zvtest::list_dir(dir), std::vector<std::string>{"rec"});

  EXPECT_EQ(zv_put_file((dir + "/no/rec").c_str(), "x", 1, 1, &err), -1);
  EXPECT_EQ(err, ENOENT);
  // Moving onto a directory fails after the write; the temporary file goes away.
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir + "/sub/d").c_str(), 0755), 0);
  ASSERT_EQ(zvtest::shell("touch " + dir + "/sub/d/keep"), 0);
  EXPECT_EQ(zv_put_file((dir + "/sub/d").c_str(), "x", 1, 1, &err), -2);
  EXPECT_NE(err, 0);
  EXPECT_EQ(zvtest::list_dir(dir + "/sub"), std::vector<std::string>{"d"});

  // Without the no-replace rename and hard links: written when the name is free, kept
  // when it is taken, and no temporary file either way.
  const std::string other = dir + "/other";
  no_noreplace_calls = true;
  EXPECT_EQ(zv_put_file(other.c_str(), first.data(), first.size(), 0, &err), 0);
  EXPECT_EQ(zv_put_file(other.c_str(), second.data(), second.size(), 0, &err), 1);
  no_noreplace_calls = false;
  EXPECT_EQ(zvtest::read_file(other), first);
  EXPECT_EQ(zvtest::list_dir(dir), (std::vector<std::string>{"other", "rec", "sub"}));
}

}  // namespace
