// The input interfaces in process, with the per-message function replaced by a
// recorder: what each interface hands over (text, lengths, priority, partner), the
// renames of the directory interface, the record framings of the pipe and the socket
// at and beyond their limits, packet files, and the test message.
#include "client/zv_interfaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/zv_clientd.h"
#include "client/zv_input.h"
#include "client/zv_message.h"
#include "partners/zv_crypto.h"
#include "runtime/zv_errors.h"
#include "runtime/zv_globals.h"
#include "runtime/zv_process.h"
#include "tests/client/client_test_util.h"
#include "tests/runtime/runtime_test_util.h"
#include "tests/support/zv_test_support.h"

namespace {

struct Doc {
  std::string text;  // the input up to its NUL
  int priority;
  int imsg_length;
  int ibuf_length;
  int obuf_length;
  int tp_index;
  std::string packet;  // the output buffer's first obuf_length bytes (packet mode)
};

std::vector<Doc> docs;
// What the recorder answers for the next document, and what it leaves in `status`.
std::function<int(Trans_ctl_rec *)> answer;

int recorder(Trans_ctl_rec *t, zvPortType priority) {
  Doc d;
  d.text = t->ibufferp ? std::string(t->ibufferp, strnlen(t->ibufferp, t->ibuf_length)) : "";
  d.priority = priority;
  d.imsg_length = t->imsg_length;
  d.ibuf_length = t->ibuf_length;
  d.obuf_length = t->obuf_length;
  d.tp_index = t->tp_index;
  if (zv_packet_mode_flag && t->obufferp) d.packet.assign(t->obufferp, t->obuf_length);
  docs.push_back(d);
  return answer ? answer(t) : 0;
}

class Interfaces : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<ctu::InProcessEnv>("interfaces");
    docs.clear();
    answer = nullptr;
    client_handler = recorder;
    memset(&rec_, 0, sizeof rec_);
    rec_.who = ZV_WHO_STD_CLIENT;
    rec_.ibufferp = ibuf_.data();
    rec_.ibuf_length = ZV_CLIENT_BUF_SIZE;
    rec_.obufferp = obuf_.data();
    rec_.obuf_length = ZV_CLIENT_BUF_SIZE;
    dir_poll_delay = 1;
    ctu::set_partner(0, "DXCP", "DXC7", "DXC_TEST", INTEGRITY_EDI, NO_RECEIPT);
    ctu::set_partner(1, "PKTP", "PLOCAL", "PREMOTE", BASIC_EDI, NO_RECEIPT);
  }
  void TearDown() override {
    client_handler = clientd;
    answer = nullptr;
    zv_shutdown = 0;
    oneshot_flag = 0;
    zv_packet_mode_flag = 0;
    zv_pacing_delay = 0;
    env_.reset();
  }
  std::string path(const std::string &name) const { return env_->dir() + "/" + name; }

  // Exactly `n` transaction-log lines and alerts, each of a document refused as
  // unsupported input about no partner, its record's message type `type`.
  void expect_refused_inputs(const std::string &type, size_t n) {
    const std::string refused = std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
    std::vector<std::string> log = env_->client_log();
    ASSERT_EQ(log.size(), n);
    for (const std::string &l : log)
      EXPECT_EQ(ctu::line_subject(l), type + "|" + std::string(104, ' ') + "||" + refused);
    std::vector<std::string> alerts = env_->alerts();
    ASSERT_EQ(alerts.size(), n);
    for (const std::string &a : alerts) EXPECT_EQ(ctu::line_subject(a), type + "|||" + refused);
  }

  std::unique_ptr<ctu::InProcessEnv> env_;
  const dir_wait_t default_poll_wait_ = dir_poll_wait;
  Trans_ctl_rec rec_;
  std::vector<char> ibuf_ = std::vector<char>(ZV_CLIENT_BUF_SIZE);
  std::vector<char> obuf_ = std::vector<char>(ZV_CLIENT_BUF_SIZE);
};

// ---- directory ------------------------------------------------------------------------

TEST_F(Interfaces, DirectorySendsEdiAndHpriRenamesThemAndSkipsOthers) {
  std::string in = path("in_dir");
  zvtest::write_file(in + "/a.edi", "doc a");
  zvtest::write_file(in + "/b.hpri", "doc b");
  zvtest::write_file(in + "/c.txt", "doc c");
  zvtest::write_file(in + "/d.edi", "doc d");            // refused
  zvtest::write_file(in + "/e.hpri", "doc e");           // cannot connect: stays
  zvtest::write_file(in + "/f.hpri", "doc f");           // refused otherwise
  zvtest::write_file(in + "/g.edi", "doc g");            // cannot connect, standard
  zvtest::write_file(in + "/.edi", "empty base name");
  zvtest::write_file(in + "/edi", "no suffix");
  // Names already taken are never replaced: the document takes a fresh name instead.
  zvtest::write_file(in + "/a.sent", "old a");
  zvtest::write_file(in + "/d.notsent", "old d");
  zvtest::write_file(in + "/batch.edi", "doc batch e");  // both refused: one batch.notsent
  zvtest::write_file(in + "/batch.hpri", "doc batch h");
  answer = [](Trans_ctl_rec *t) {
    std::string text(t->ibufferp);
    if (text == "doc d" || text == "doc f" || text.rfind("doc batch", 0) == 0) {
      t->status = ZV_ERRM_UNKNOWN_ISAID_FOUND;
      return -1;
    }
    if (text == "doc e" || text == "doc g") {
      t->status = ZV_ERRM_CANNOT_CONNECT_TO_REMOTE_SERVER;
      return -1;
    }
    return 0;
  };
  oneshot_flag = 1;
  int rc = -9;
  rtt::Captured cap = rtt::capture([&] { rc = dir_in_buf(&rec_, "./in_dir"); });
  EXPECT_EQ(rc, 0);
  std::vector<std::string> fresh_sent, fresh_notsent, named;
  for (const std::string &f : zvtest::list_dir(in)) {
    if (f.rfind("sent_", 0) == 0)
      fresh_sent.push_back(zvtest::read_file(in + "/" + f));
    else if (f.rfind("nots_", 0) == 0)
      fresh_notsent.push_back(zvtest::read_file(in + "/" + f));
    else
      named.push_back(f);
  }
  EXPECT_EQ(named, (std::vector<std::string>{".sent", "a.sent", "b.sent", "batch.notsent", "c.txt",
                                             "d.notsent", "e.hpri", "edi", "f.notsent",
                                             "g.notsent"}));
  EXPECT_EQ(zvtest::read_file(in + "/a.sent"), "old a");
  EXPECT_EQ(zvtest::read_file(in + "/d.notsent"), "old d");
  EXPECT_EQ(fresh_sent, std::vector<std::string>{"doc a"});
  std::vector<std::string> batch = {zvtest::read_file(in + "/batch.notsent")};
  for (const std::string &t : fresh_notsent)
    if (t != "doc d") batch.push_back(t);
  std::sort(batch.begin(), batch.end());
  EXPECT_EQ(batch, (std::vector<std::string>{"doc batch e", "doc batch h"}));
  EXPECT_EQ(fresh_notsent.size(), 2u);
  size_t warnings = 0;
  for (size_t at = cap.err.find("WARNING: Cannot rename "); at != std::string::npos;
       at = cap.err.find("WARNING: Cannot rename ", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 3u) << cap.err;
  EXPECT_EQ(zvtest::read_file(in + "/e.hpri"), "doc e");
  ASSERT_EQ(docs.size(), 9u);
  for (const Doc &d : docs) {
    bool hpri = d.text == "doc b" || d.text == "doc e" || d.text == "doc f" || d.text == "doc batch h";
    EXPECT_EQ(d.priority, hpri ? 1 : 0) << d.text;
    EXPECT_EQ(d.imsg_length, static_cast<int>(d.text.size()));
  }
}

// Between the scans of the directory interface, what a test does in place of its sleep.
std::function<void(int)> between_scans;
int scans_waited = 0;
void scan_wait(long) { between_scans(++scans_waited); }

// A document is taken only once a whole scan has passed without a change to it; entries
// that are not regular files are left where they are, with one warning each, and none of
// them holds the scan.
TEST_F(Interfaces, DirectoryTakesUnchangedRegularFilesOnly) {
  std::string in = path("in_dir");
  const std::string whole = ctu::interchange("DXC7", "DXC_TEST", 337);
  zvtest::write_file(in + "/slow.edi", whole.substr(0, 150));
  ASSERT_EQ(mkfifo((in + "/fifo.edi").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((in + "/adir.edi").c_str(), 0755), 0);
  zvtest::write_file(in + "/adir.edi/inner.edi", "inside");
  ASSERT_EQ(symlink("nowhere", (in + "/dangling.hpri").c_str()), 0);
  ASSERT_EQ(symlink((in + "/slow.edi").c_str(), (in + "/link.edi").c_str()), 0);
  scans_waited = 0;
  between_scans = [&](int n) {
    if (n == 1) {
      // The writer goes on after the first scan saw the file's beginning.
      FILE *f = fopen((in + "/slow.edi").c_str(), "a");
      ASSERT_NE(f, nullptr);
      fputs(whole.c_str() + 150, f);
      fclose(f);
    }
    if (n == 4) zv_shutdown = 1;
  };
  dir_poll_wait = scan_wait;
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  dir_poll_wait = default_poll_wait_;
  EXPECT_EQ(scans_waited, 4);
  ASSERT_EQ(docs.size(), 1u) << cap.err;
  EXPECT_EQ(docs[0].text, whole);
  EXPECT_EQ(zvtest::list_dir(in), (std::vector<std::string>{"adir.edi", "dangling.hpri", "fifo.edi",
                                                            "link.edi", "slow.sent"}));
  EXPECT_EQ(zvtest::read_file(in + "/adir.edi/inner.edi"), "inside");
  for (const char *odd : {"fifo.edi", "adir.edi", "dangling.hpri", "link.edi"}) {
    const std::string warning = "WARNING: " + in + "/" + odd + " is not a regular file - left where it is\n";
    size_t first = cap.err.find(warning);
    EXPECT_NE(first, std::string::npos) << odd << "\n" << cap.err;
    EXPECT_EQ(cap.err.find(warning, first + 1), std::string::npos) << odd << " warned again";
  }
  EXPECT_TRUE(env_->client_log().empty());
}

// A name reused while its document is handed over: only the file read is renamed; the new
// one at that name is said once and taken by a later scan.
TEST_F(Interfaces, DirectoryRenamesOnlyTheFileItRead) {
  std::string in = path("in_dir");
  zvtest::write_file(in + "/orders.edi", "first orders");
  answer = [&](Trans_ctl_rec *t) {
    if (std::string(t->ibufferp) == "first orders") {
      // The safe hand-off: written elsewhere, renamed in.
      zvtest::write_file(path("staging"), "second orders");
      EXPECT_EQ(rename(path("staging").c_str(), (in + "/orders.edi").c_str()), 0);
    }
    return 0;
  };
  scans_waited = 0;
  between_scans = [&](int n) {
    if (docs.size() == 2 || n == 8) zv_shutdown = 1;
  };
  dir_poll_wait = scan_wait;
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  dir_poll_wait = default_poll_wait_;
  ASSERT_EQ(docs.size(), 2u) << cap.err;
  EXPECT_EQ(docs[0].text, "first orders");
  EXPECT_EQ(docs[1].text, "second orders");
  EXPECT_EQ(zvtest::list_dir(in), std::vector<std::string>{"orders.sent"});
  EXPECT_EQ(zvtest::read_file(in + "/orders.sent"), "second orders");
  EXPECT_EQ(rtt::count_of(cap.err, "WARNING: " + in + "/orders.edi now holds another file than "
                                   "the one read - not renamed, left for the next scan\n"),
            1)
      << cap.err;
}

// A writer that still has its file open is waited for, however long it pauses; a file
// that changes while it is read is not handed over.
TEST_F(Interfaces, DirectoryWaitsForItsWriterAndChecksTheFileAfterTheRead) {
  std::string in = path("in_dir");
  const std::string whole = ctu::interchange("DXC7", "DXC_TEST", 337);
  int writer = open((in + "/slow.edi").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, whole.data(), 150), 150);
  scans_waited = 0;
  between_scans = [&](int n) {
    // A pause of three scans; then the rest, and the writer closes.
    if (n == 3) {
      ASSERT_EQ(write(writer, whole.data() + 150, whole.size() - 150),
                static_cast<ssize_t>(whole.size() - 150));
      close(writer);
    }
    if (!docs.empty() || n == 10) zv_shutdown = 1;
  };
  dir_poll_wait = scan_wait;
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  dir_poll_wait = default_poll_wait_;
  ASSERT_EQ(docs.size(), 1u) << cap.err;
  EXPECT_EQ(docs[0].text, whole);
  EXPECT_EQ(zvtest::list_dir(in), std::vector<std::string>{"slow.sent"});
  EXPECT_EQ(rtt::count_of(cap.err, "WARNING: " + in + "/slow.edi is still open for writing in "
                                   "another process - taken once it is closed\n"),
            1)
      << cap.err;

  // The check after the read: the file as it was looked at, and still at its name.
  const std::string doc = in + "/checked.edi";
  auto opened = [&](zv_entry_stamp *stamp) {
    zvtest::write_file(doc, "checked document");
    int fd = open(doc.c_str(), O_RDONLY);
    EXPECT_TRUE(zv_stamp_fd(fd, stamp));
    return fd;
  };
  int dfd = open(in.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dfd, 0);
  zv_entry_stamp st;
  int fd = opened(&st);
  EXPECT_TRUE(zv_input::still_as_read(dfd, "checked.edi", fd, st));
  EXPECT_FALSE(zv_input::open_for_writing(fd));
  ASSERT_EQ(truncate(doc.c_str(), 5), 0);  // cut
  EXPECT_FALSE(zv_input::still_as_read(dfd, "checked.edi", fd, st));
  close(fd);
  fd = opened(&st);
  zvtest::write_file(path("grown"), "checked document and more");
  ASSERT_EQ(rename(path("grown").c_str(), doc.c_str()), 0);  // another file at the name
  EXPECT_FALSE(zv_input::still_as_read(dfd, "checked.edi", fd, st));
  close(fd);
  fd = opened(&st);
  FILE *more = fopen(doc.c_str(), "a");  // appended to
  ASSERT_NE(more, nullptr);
  EXPECT_TRUE(zv_input::open_for_writing(fd));
  fputs(" and more", more);
  fclose(more);
  EXPECT_FALSE(zv_input::still_as_read(dfd, "checked.edi", fd, st));
  close(fd);
  fd = opened(&st);
  timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};  // rewritten, same size
  ASSERT_EQ(utimensat(AT_FDCWD, doc.c_str(), times, 0), 0);
  EXPECT_FALSE(zv_input::still_as_read(dfd, "checked.edi", fd, st));
  close(fd);
  close(dfd);
}

// With its path swapped for a link to another client's directory, the interface never
// reads that directory: it says so and stops.
TEST_F(Interfaces, DirectoryReadsOnlyTheDirectoryItHolds) {
  std::string in = path("in_dir");
  zvtest::write_file(in + "/mine.edi", "my document");
  ASSERT_EQ(mkdir(path("other_in").c_str(), 0755), 0);
  zvtest::write_file(path("other_in/theirs.edi"), "their document");
  int theirs = zv_hold_dir(path("other_in").c_str());  // the other client
  ASSERT_GE(theirs, 0);
  scans_waited = 0;
  between_scans = [&](int n) {
    if (n == 1) {
      ASSERT_EQ(rename(in.c_str(), path("in_dir.old").c_str()), 0);
      ASSERT_EQ(symlink(path("other_in").c_str(), in.c_str()), 0);
    }
    if (n == 6) zv_shutdown = 1;
  };
  dir_poll_wait = scan_wait;
  int rc = 9;
  rtt::Captured cap = rtt::capture([&] { rc = dir_in_buf(&rec_, "in_dir"); });
  dir_poll_wait = default_poll_wait_;
  close(theirs);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(docs.empty()) << docs[0].text;
  EXPECT_EQ(zvtest::list_dir(path("other_in")), std::vector<std::string>{"theirs.edi"});
  EXPECT_EQ(zvtest::list_dir(path("in_dir.old")), std::vector<std::string>{"mine.edi"});
  EXPECT_NE(cap.err.find("ERROR: " + in + " no longer names the input directory this client "
                         "holds - cannot continue\n"),
            std::string::npos)
      << cap.err;
}

TEST_F(Interfaces, DirectoryPathWithAndWithoutDotSlashIsTheSame) {
  zvtest::write_file(path("in_dir/x.edi"), "doc x");
  oneshot_flag = 1;
  rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  zvtest::write_file(path("in_dir/y.edi"), "doc y");
  rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "./in_dir"), 0); });
  zvtest::write_file(path("in_dir/z.edi"), "doc z");
  rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, (env_->dir() + "/in_dir").c_str()), 0); });
  EXPECT_EQ(zvtest::list_dir(path("in_dir")),
            (std::vector<std::string>{"x.sent", "y.sent", "z.sent"}));
}

TEST_F(Interfaces, DirectoryPacingMissingDirectoryAndShutdownMidScan) {
  for (const char *n : {"1.edi", "2.edi", "3.edi"}) zvtest::write_file(path("in_dir/") + n, n);
  zv_pacing_delay = 30;
  debug_level = 1;
  answer = [](Trans_ctl_rec *) {
    zv_shutdown = 1;  // after the first document
    return 0;
  };
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  debug_level = 0;
  EXPECT_NE(cap.err.find("dir_in_buf: pacing delay of 30 msec\n"), std::string::npos) << cap.err;
  ASSERT_EQ(docs.size(), 1u);
  // Documents not begun stay as they were.
  int left = 0;
  for (const std::string &f : zvtest::list_dir(path("in_dir"))) left += f.size() > 4 && f.substr(f.size() - 4) == ".edi";
  EXPECT_EQ(left, 2);

  // One reader per directory: a second finds it held and does not start.
  zv_shutdown = 0;
  int held = zv_hold_dir(path("in_dir").c_str());
  ASSERT_GE(held, 0);
  docs.clear();
  cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), ZV_INPUT_IN_USE); });
  close(held);
  EXPECT_NE(cap.err.find("FATAL ERROR: input directory " + path("in_dir") +
                         " is held by another client process - cannot start\n"),
            std::string::npos)
      << cap.err;
  EXPECT_TRUE(docs.empty());

  cap = rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "no_such_dir"), -1); });
  EXPECT_NE(cap.err.find("ERROR: cannot open " + env_->dir() + "/no_such_dir - exiting\n"),
            std::string::npos)
      << cap.err;
}

// ---- file -----------------------------------------------------------------------------

TEST_F(Interfaces, FileAndPacketFileUpToTheBufferLessItsNul) {
  std::string big(65535, 'F');
  zvtest::write_file(path("f65535"), big);
  rtt::capture([&] { EXPECT_EQ(file_in_buf(&rec_, path("f65535").c_str()), 0); });
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].text, big);
  EXPECT_EQ(docs[0].imsg_length, 65535);

  zvtest::write_file(path("f65536"), big + "G");
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(file_in_buf(&rec_, path("f65536").c_str()), -1); });
  EXPECT_NE(cap.err.find("INTERNAL ERROR: in file_in_buf(): EOF not found in " + path("f65536")),
            std::string::npos);
  EXPECT_NE(cap.err.find("ERROR: " + path("f65536") +
                         " is larger than the 65535 bytes the interface takes - message not "
                         "sent\n"),
            std::string::npos)
      << cap.err;
  // A packet file's packet has the same limit.
  zvtest::write_file(path("p65536"), "PLOCAL\nPREMOTE\n0\n" + big + "G");
  cap = rtt::capture([&] { EXPECT_EQ(packet_in_buf(&rec_, path("p65536").c_str()), -1); });
  EXPECT_NE(cap.err.find("INTERNAL ERROR: in packet_in_buf(): EOF not found in " + path("p65536")),
            std::string::npos);
  // Both refused as documents, about no partner; only their beginnings were read, so no
  // copy is kept (the files stay).
  ASSERT_NO_FATAL_FAILURE(expect_refused_inputs("0", 2));
  EXPECT_TRUE(env_->failed_copies().empty());
  EXPECT_EQ(rec_.ibuf_length, ZV_CLIENT_BUF_SIZE);
  EXPECT_EQ(rec_.obuf_length, ZV_CLIENT_BUF_SIZE);

  // A link to a regular file is followed: the operator named it.
  ASSERT_EQ(symlink(path("f65535").c_str(), path("link").c_str()), 0);
  rtt::capture([&] { EXPECT_EQ(file_in_buf(&rec_, path("link").c_str()), 0); });
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[1].text, big);
  docs.pop_back();

  cap = rtt::capture([&] { EXPECT_EQ(file_in_buf(&rec_, path("none").c_str()), -1); });
  EXPECT_NE(cap.err.find("ERROR: Cannot open " + path("none") + " for reading\n"), std::string::npos);
  // A directory is not a document either.
  cap = rtt::capture([&] { EXPECT_NE(file_in_buf(&rec_, path("in_dir").c_str()), 0); });
  EXPECT_NE(cap.err.find("ERROR: " + path("in_dir") + " is not a regular file - not read as a "
                         "document\n"),
            std::string::npos)
      << cap.err;
  EXPECT_EQ(docs.size(), 1u);
  EXPECT_EQ(env_->client_log().size(), 2u);
}

// ---- packet files ---------------------------------------------------------------------

// The priority line takes 0 or 1 (blanks around it allowed) and nothing else; a header
// that is not three whole lines is refused with its line and alert as every refusal is;
// the success line is written once the packet is handed over, with its own address.
TEST_F(Interfaces, PacketFilesPriorityIdsAndThePacket) {
  zv_packet_mode_flag = 1;
  enum Outcome { kSent, kUnknown, kBadPriority, kBadHeader };
  struct Case {
    std::string head;
    Outcome outcome;
    int priority;  // sent: the priority; refused: -1
    int tp_index;
    std::string says;  // what the refusal's ERROR line holds
  } cases[] = {
      {"PLOCAL\nPREMOTE\n0\n", kSent, 0, 1, ""},
      {"PLOCAL\nPREMOTE\nhigh\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"PLOCAL\nPREMOTE\n5\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"PLOCAL     \nPREMOTE \n1\n", kSent, 1, 1, ""},
      {"PLOCAL\r\nPREMOTE\r\n2\r\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"PLOCAL\r\nPREMOTE\r\n 1\t\r\n", kSent, 1, 1, ""},
      {"PLOCAL\nPREMOTE\n-1\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"PLOCAL\nPREMOTE\n\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"PLOCAL\nPREMOTE\n01\n", kBadPriority, -1, -1, "neither 0 nor 1"},
      {"DXC7\nDXC_TEST\n0\n", kSent, 0, 0, ""},
      {"NOBODY\nPREMOTE\n0\n", kUnknown, -1, -1, ""},
      {"\nPREMOTE\n0\n", kUnknown, -1, -1, ""},
      // A file that ends early is no read error: no system error is named.
      {"", kBadHeader, -1, -1,
       "ERROR: Cannot read local trading partner (line 1) in packet file " + path("p.edi") +
           ": the file ends before it\n"},
      {"PLOCAL\n", kBadHeader, -1, -1,
       "ERROR: Cannot read remote trading partner (line 2) in packet file " + path("p.edi") +
           ": the file ends before it\n"},
      {"PLOCAL\nPREMOTE\n", kBadHeader, -1, -1,
       "ERROR: Cannot read priority flag (line 3) in packet file " + path("p.edi") +
           ": the file ends before it\n"},
      {"PLOCAL\n" + std::string(1100, 'L') + "\n0\n", kBadHeader, -1, -1,
       "line 2 of packet file "},
  };
  const std::string unsupported = std::to_string(ZV_ERRM_UNSUPPORTED_INPUT_MSG_FOUND);
  size_t sent = 0, lines = 0, copies_kept = 0, at_handover = 0;
  for (const Case &c : cases) {
    // A ready envelope may hold NULs: the packet goes whole.
    const std::string packet("0\x82packet\0bytes", 14);
    // The files with a broken header end after their last line.
    zvtest::write_file(path("p.edi"), c.outcome == kBadHeader ? c.head : c.head + packet);
    rec_.tp_index = -7;
    // As clientd does: the destination of the packet's own partner, once it is known.
    answer = [&](Trans_ctl_rec *t) {
      at_handover = env_->client_log().size();
      t->dest_ip = const_cast<char *>("10.9.8.7");
      t->dest_port = 4200 + t->tp_index;
      return 0;
    };
    rec_.dest_ip = const_cast<char *>("10.0.0.1");
    rec_.dest_port = 1;
    rtt::Captured cap;
    int rc = 9;
    // What an earlier call left in errno is not this file's fault.
    errno = TRANS_ERR_INCOMPLETE;
    cap = rtt::capture([&] { rc = packet_in_buf(&rec_, path("p.edi").c_str()); });
    EXPECT_EQ(rc, c.outcome == kSent ? 0 : -1) << c.head;
    EXPECT_EQ(rec_.tp_index, c.tp_index) << c.head;
    EXPECT_EQ(rec_.obuf_length, ZV_CLIENT_BUF_SIZE) << "capacity kept";
    std::vector<std::string> log = env_->client_log();
    ASSERT_EQ(log.size(), ++lines) << c.head << cap.err;
    switch (c.outcome) {
      case kSent:
        ASSERT_EQ(docs.size(), ++sent);
        EXPECT_EQ(docs.back().priority, c.priority) << c.head;
        EXPECT_EQ(docs.back().packet, packet);
        EXPECT_EQ(docs.back().obuf_length, static_cast<int>(packet.size()));
        EXPECT_NE(cap.out.find("WARNING: sending RAW ZV packet message to server\n"), std::string::npos);
        EXPECT_EQ(at_handover, lines - 1) << "the success line came before the hand-over";
        EXPECT_EQ(ctu::line_subject(log.back()),
                  "0|" + (c.head.substr(0, c.head.find_first_of("\r\n")) + std::string(104, ' ')).substr(0, 104) +
                      "|10.9.8.7:" + std::to_string(4200 + c.tp_index) + "|0");
        break;
      case kUnknown:
        EXPECT_NE(cap.err.find("WARNING: Unknown ISA_ID of ["), std::string::npos) << cap.err;
        EXPECT_EQ(ctu::log_code(log.back()), ZV_ERRM_UNKNOWN_ISAID_FOUND);
        ++copies_kept;
        break;
      case kBadPriority:
        EXPECT_NE(cap.err.find("ERROR: priority flag (line 3) of packet file " + path("p.edi") +
                               " is neither 0 nor 1 - message not sent\n"),
                  std::string::npos)
            << cap.err;
        EXPECT_EQ(ctu::line_subject(log.back()), "0|PLOCAL" + std::string(98, ' ') + "||" + unsupported);
        ++copies_kept;
        break;
      case kBadHeader:
        EXPECT_NE(cap.err.find(c.says), std::string::npos) << cap.err;
        EXPECT_EQ(cap.err.find("returned errno"), std::string::npos) << cap.err;
        EXPECT_EQ(ctu::line_subject(log.back()), "0|" + std::string(104, ' ') + "||" + unsupported)
            << c.head;
        break;
    }
    EXPECT_EQ(docs.size(), sent) << c.head;
  }
  // A packet refused for its ids or its priority is kept as its copy, byte for byte; a
  // broken header has no packet to keep (the file itself stays).
  std::vector<std::string> copies = env_->failed_copies();
  ASSERT_EQ(copies.size(), copies_kept);
  for (const std::string &f : copies)
    EXPECT_EQ(zvtest::read_file(path("to_remote_failed_messages/" + f)),
              std::string("0\x82packet\0bytes", 14));
  // Every refusal has its alert.
  EXPECT_EQ(env_->alerts().size(), lines - sent);

  // A packet that is not handed over has only the failure line its sender writes.
  answer = [](Trans_ctl_rec *) { return -1; };
  zvtest::write_file(path("p.edi"), "PLOCAL\nPREMOTE\n1\nnot taken");
  rtt::capture([&] { EXPECT_EQ(packet_in_buf(&rec_, path("p.edi").c_str()), -1); });
  EXPECT_EQ(docs.size(), ++sent);
  EXPECT_EQ(env_->client_log().size(), lines);

  // Three lines and no packet: nothing the ZVP process could decode, refused as bad input.
  zvtest::write_file(path("p.edi"), "PLOCAL\nPREMOTE\n0\n");
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(packet_in_buf(&rec_, path("p.edi").c_str()), -1); });
  EXPECT_NE(cap.err.find("ERROR: packet file " + path("p.edi") +
                         " holds no packet after its three lines - message not sent\n"),
            std::string::npos)
      << cap.err;
  std::vector<std::string> log = env_->client_log();
  ASSERT_EQ(log.size(), lines + 1);
  EXPECT_EQ(ctu::line_subject(log.back()), "0|PLOCAL" + std::string(98, ' ') + "||" + unsupported);
  EXPECT_EQ(docs.size(), sent);
}

TEST_F(Interfaces, PacketModeDirectoryUsesThePacketReader) {
  zv_packet_mode_flag = 1;
  oneshot_flag = 1;
  zvtest::write_file(path("in_dir/k.hpri"), "PLOCAL\nPREMOTE\n0\nthe packet");
  rtt::capture([&] { EXPECT_EQ(dir_in_buf(&rec_, "in_dir"), 0); });
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].packet, "the packet");
  EXPECT_EQ(docs[0].priority, 0);  // the packet's own line decides
  EXPECT_EQ(zvtest::list_dir(path("in_dir")), (std::vector<std::string>{"k.sent"}));
}

// ---- named pipe -----------------------------------------------------------------------

std::string pipe_record(size_t len, unsigned prio, char fill = 'P') {
  std::string r;
  r.push_back(static_cast<char>(len >> 8));
  r.push_back(static_cast<char>(len & 0xff));
  r.push_back(static_cast<char>(prio >> 8));
  r.push_back(static_cast<char>(prio & 0xff));
  return r + std::string(len, fill);
}

// Writes the bytes into the pipe from another thread while the interface reads.
int run_pipe(Trans_ctl_rec *rec, const std::string &fifo, const std::string &data,
             rtt::Captured *cap) {
  std::thread writer([&] {
    int fd = open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = write(fd, data.data() + off, data.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fd);
  });
  int rc = 9;
  *cap = rtt::capture([&] { rc = pipe_in_buf(rec, fifo.c_str(), 0); });
  writer.join();
  return rc;
}

TEST_F(Interfaces, PipeRecordsAtTheLimitAndBeyond) {
  std::string fifo = path("zvfifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  answer = [](Trans_ctl_rec *) {
    if (docs.size() == 2) zv_shutdown = 1;
    return 0;
  };
  rtt::Captured cap;
  EXPECT_EQ(run_pipe(&rec_, fifo, pipe_record(65535, 1, 'A') + pipe_record(10, 0, 'B'), &cap), 0);
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[0].text, std::string(65535, 'A'));
  EXPECT_EQ(docs[0].priority, 1);
  EXPECT_EQ(docs[0].imsg_length, 65535);
  EXPECT_EQ(docs[1].text, std::string(10, 'B'));
  EXPECT_EQ(docs[1].priority, 0);

  // 65,536 bytes cannot be announced in the u16 length, so the size check is shown on a
  // smaller buffer: a body that leaves no room for the NUL is refused.
  zv_shutdown = 0;
  docs.clear();
  rec_.ibuf_length = 100;
  EXPECT_EQ(run_pipe(&rec_, fifo, pipe_record(100, 0), &cap), -1);
  EXPECT_NE(cap.err.find("ERROR: cannot read message (of 100 bytes) from " + fifo +
                         " - message too big, cannot continue\n"),
            std::string::npos)
      << cap.err;
  rec_.ibuf_length = 101;
  zv_shutdown = 0;
  answer = [](Trans_ctl_rec *) {
    zv_shutdown = 1;
    return 0;
  };
  EXPECT_EQ(run_pipe(&rec_, fifo, pipe_record(100, 0), &cap), 0);
  EXPECT_EQ(docs.size(), 1u);
  rec_.ibuf_length = ZV_CLIENT_BUF_SIZE;

  // Refused records are kept, each with its line and alert, and the records behind them
  // are read on: a bad priority, a NUL inside, one the per-message function refuses.
  zv_shutdown = 0;
  docs.clear();
  std::string with_nul = pipe_record(6, 0);
  with_nul[4 + 2] = '\0';
  answer = [](Trans_ctl_rec *t) {
    if (std::string(t->ibufferp) == "RRRRR") return -1;
    zv_shutdown = 1;
    return 0;
  };
  EXPECT_EQ(run_pipe(&rec_, fifo,
                     pipe_record(10, 2, 'x') + with_nul + pipe_record(5, 0, 'R') +
                         pipe_record(7, 1, 'G'),
                     &cap),
            0);
  ASSERT_EQ(docs.size(), 2u) << cap.err;
  EXPECT_EQ(docs[1].text, "GGGGGGG");
  EXPECT_NE(cap.err.find("ERROR: cannot set message priority (with value of 2) from " + fifo +
                         " - message invalid, cannot continue\n"),
            std::string::npos)
      << cap.err;
  EXPECT_NE(cap.err.find("ERROR: pipe interface: document of 6 bytes from " + fifo +
                         " holds a NUL at byte 2 - message not sent\n"),
            std::string::npos)
      << cap.err;
  ASSERT_NO_FATAL_FAILURE(expect_refused_inputs("0", 2));
  std::vector<std::string> kept;
  for (const std::string &f : env_->failed_copies())
    kept.push_back(zvtest::read_file(path("to_remote_failed_messages/" + f)));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{std::string("PP\0PPP", 6), std::string(10, 'x')}));

  // A stop in the middle of a record: what came of its body is kept, and the interface
  // ends in order.
  int sides[2];
  ASSERT_EQ(pipe(sides), 0);
  const std::string begun = pipe_record(10, 0, 'h').substr(0, 7);
  ASSERT_EQ(write(sides[1], begun.data(), begun.size()), static_cast<ssize_t>(begun.size()));
  zv_shutdown = 1;
  cap = rtt::capture([&] { EXPECT_EQ(iReadableEvent(sides[0], &rec_, "zvfifo"), 0); });
  close(sides[0]);
  close(sides[1]);
  EXPECT_NE(cap.err.find("WARNING: stopping with the record from zvfifo incomplete - what was "
                         "read is kept\n"),
            std::string::npos)
      << cap.err;
  std::vector<std::string> log = env_->client_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(ctu::line_subject(log[2]), "0|" + std::string(104, ' ') + "||" +
                                           std::to_string(ZV_ERRM_CANNOT_RECV_INTERNAL_DATA));
  ASSERT_EQ(env_->failed_copies().size(), 3u);
  bool cut_kept = false;
  for (const std::string &f : env_->failed_copies())
    cut_kept |= zvtest::read_file(path("to_remote_failed_messages/" + f)) == "hhh";
  EXPECT_TRUE(cut_kept);

  cap = rtt::capture([&] { EXPECT_EQ(pipe_in_buf(&rec_, path("nofifo/x").c_str(), 0), -1); });
  EXPECT_NE(cap.err.find("FATAL ERROR: cannot open " + path("nofifo/x") + " for reading\n"),
            std::string::npos);
}

// ---- socket ---------------------------------------------------------------------------

using ctu::soc_header;

std::string soc_record(size_t len, unsigned prio, char fill = 'S') {
  return soc_header(len, prio) + std::string(len, fill);
}

TEST_F(Interfaces, SocketRecordsOnePerConnection) {
  int port = ctu::free_port();
  std::string port_text = std::to_string(port);
  int before = soc_request_count();
  answer = [](Trans_ctl_rec *) {
    if (docs.size() == 4) zv_shutdown = 1;
    return 0;
  };
  // The largest body: twice it and 2,048 bytes is more than the ZVP process's receiver
  // takes, so its output buffer is that limit.
  const size_t largest = ZV_MAX_SOCKET_BODY;
  std::vector<std::string> endings;
  std::thread peer([&] {
    endings.push_back(ctu::soc_send(port, soc_record(12, 1, 'a')));
    endings.push_back(ctu::soc_send(port, soc_record(12, 2, 'b')));                 // refused, -98
    endings.push_back(ctu::soc_send(port, soc_record(50, 0, 'c').substr(0, 30)));   // peer closes early
    endings.push_back(ctu::soc_send(port, soc_header(ZV_MAX_SOCKET_BODY + 1, 0)));  // too big
    endings.push_back(ctu::soc_send(port, soc_record(70000, 0, 'e')));
    endings.push_back(ctu::soc_send(port, soc_record(largest, 0, 'f')));
    endings.push_back(ctu::soc_send(port, soc_header(12, 0).substr(0, 2)));         // no whole length
    endings.push_back(ctu::soc_send(port, soc_header(12, 0).substr(0, 5)));         // no whole priority
    // The fields and the body cut at every byte: each piece is a read of its own.
    endings.push_back(ctu::soc_send(port, soc_record(9, 1, 'g'), 1));
  });
  int rc = 9;
  rtt::Captured cap = rtt::capture([&] { rc = iSoc_in_buf(&rec_, port_text.c_str()); });
  peer.join();
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(docs.size(), 4u) << cap.err;
  EXPECT_EQ(docs[0].text, std::string(12, 'a'));
  EXPECT_EQ(docs[0].priority, 1);
  EXPECT_EQ(docs[0].imsg_length, 12);
  EXPECT_EQ(docs[0].ibuf_length, 13);
  EXPECT_EQ(docs[0].obuf_length, 2 * 12 + 2048);
  EXPECT_EQ(docs[1].text, std::string(70000, 'e'));
  EXPECT_EQ(docs[1].ibuf_length, 70001);
  EXPECT_EQ(docs[1].obuf_length, 2 * 70000 + 2048);
  EXPECT_EQ(docs[2].text.size(), largest);
  EXPECT_EQ(docs[2].text.find_first_not_of('f'), std::string::npos);
  EXPECT_EQ(docs[2].ibuf_length, ZV_MAX_SOCKET_BODY + 1);
  EXPECT_EQ(docs[2].obuf_length, ZV_TRANS_MAX_ALLOC);
  EXPECT_EQ(docs[3].text, std::string(9, 'g'));
  EXPECT_EQ(docs[3].priority, 1);
  // Handed over or refused and kept: an orderly close. Every record not taken: a reset,
  // so that its sender sends it again.
  EXPECT_EQ(endings, (std::vector<std::string>{"closed", "closed", "reset", "reset", "closed",
                                               "closed", "reset", "reset", "closed"}));
  EXPECT_EQ(soc_request_count() - before, 5);  // the four delivered and the refused one
  EXPECT_NE(cap.err.find("ERROR: cannot read message size bytes(4) from socket\n"),
            std::string::npos);
  EXPECT_NE(cap.err.find("ERROR: cannot read message priority bytes(2) from socket\n"),
            std::string::npos);
  EXPECT_NE(cap.err.find("ERROR: cannot set message priority (with value of 2) from socket - "
                         "message invalid, cannot continue\n"),
            std::string::npos);
  EXPECT_NE(cap.err.find("ERROR: cannot read message (of 50 bytes) from socket\n"), std::string::npos);
  EXPECT_NE(cap.err.find("ERROR: cannot read message (of 16774747 bytes) from socket - message "
                         "too big, cannot continue\n"),
            std::string::npos);
  // Both refusals are reported where an operator sees them, naming no document and no
  // partner: the priority's with the body kept as a failed message, the body above the
  // limit without, as nothing of it was read.
  ASSERT_NO_FATAL_FAILURE(expect_refused_inputs("0", 2));
  std::vector<std::string> copies = env_->failed_copies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(zvtest::read_file(path("to_remote_failed_messages/" + copies[0])), std::string(12, 'b'));
  // The per-connection record is not the main one.
  EXPECT_EQ(rec_.ibufferp, ibuf_.data());

  // The bound's derivation agrees with the encoder: a signed envelope built for a real
  // identity has the size it gives for that identity's signature, issuer texts and serial.
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  ASSERT_NO_FATAL_FAILURE(ctu::signing_identity("soc-bound-key", &key, &cert));
  const long serial = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), nullptr) - 2;
  const std::string body = ctu::interchange("SLOC", "SREM", 70000);
  Trans_ctl_rec t{};
  t.pLocalCert = cert;
  std::vector<char> out(2 * body.size() + 2048);
  int n = -1;
  rtt::capture([&] {
    n = AsciiEDI_2_EDIwNR(&t, body.c_str(), out.data(), static_cast<int>(out.size()), key);
  });
  EXPECT_EQ(n, zv_signed_edi_size(static_cast<long>(body.size()), EVP_PKEY_get_size(key), 2, 15,
                                  serial));
  EVP_PKEY_free(key);
  X509_free(cert);
}

// A peer that sends nothing holds the interface for the transport's bound and no longer:
// it is then reset and the record behind it is taken. Every byte restarts the bound, and a
// stop while a record is incomplete resets its connection too.
TEST_F(Interfaces, SocketStalledAndStoppedConnectionsAreReset) {
  int port = ctu::free_port();
  std::string port_text = std::to_string(port);
  answer = [](Trans_ctl_rec *) {
    zv_shutdown = 1;
    return 0;
  };
  std::string silent_end, good_end;
  std::chrono::steady_clock::duration silent_for{};
  std::thread peer([&] {
    int silent = ctu::soc_connect(port);
    if (silent < 0) return;
    auto t0 = std::chrono::steady_clock::now();
    std::thread good([&] { good_end = ctu::soc_send(port, soc_record(7, 0, 'k')); });
    silent_end = ctu::soc_ending(silent);
    silent_for = std::chrono::steady_clock::now() - t0;
    good.join();
  });
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(iSoc_in_buf(&rec_, port_text.c_str()), 0); });
  peer.join();
  EXPECT_EQ(silent_end, "reset");
  EXPECT_GE(silent_for, std::chrono::seconds(ZV_TRANS_IDLE_SECONDS) - std::chrono::milliseconds(200));
  EXPECT_EQ(good_end, "closed");
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].text, "kkkkkkk");
  EXPECT_NE(cap.err.find("ERROR: cannot read message size bytes(4) from socket\n"),
            std::string::npos);
  EXPECT_NE(cap.err.find(" sent nothing for 10 seconds with its record incomplete - connection "
                         "reset\n"),
            std::string::npos)
      << cap.err;
  EXPECT_NE(cap.err.find("ERROR: Socket peer on socket = "), std::string::npos);

  // The bound is the longest quiet time, not the time a record may take: a record that
  // trickles in over five times the bound is read whole; quiet after a few bytes is a stall.
  zv_shutdown = 0;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const std::string slow = soc_record(20, 1, 't');
  std::thread trickle([&] {
    for (char c : slow) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (send(sv[1], &c, 1, MSG_NOSIGNAL) != 1) return;
    }
    send(sv[1], "ab", 2, MSG_NOSIGNAL);  // the next record begun, then quiet
  });
  soc_fault fault = soc_fault::stopped;
  request_t *r = nullptr;
  auto t0 = std::chrono::steady_clock::now();
  cap = rtt::capture([&] { r = read_soc_request(sv[0], 260, &fault); });
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4 * 260));
  trickle.join();
  ASSERT_NE(r, nullptr) << cap.err;
  EXPECT_EQ(fault, soc_fault::none);
  EXPECT_EQ(std::string(r->buf, r->uiSize), std::string(20, 't'));
  EXPECT_EQ(r->iPriority, 1);
  free(r->buf);
  free(r);
  t0 = std::chrono::steady_clock::now();
  cap = rtt::capture([&] { r = read_soc_request(sv[0], 260, &fault); });
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(260));
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(fault, soc_fault::stalled);
  close(sv[0]);
  close(sv[1]);

  // A stop with the header and part of the body in: what has come is read, then the
  // connection is reset and nothing is handed over or reported.
  zv_shutdown = 0;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &alen), 0);
  int sender = ctu::soc_connect(ntohs(a.sin_port));
  int accepted = accept(listener, nullptr, nullptr);
  close(listener);
  ASSERT_GE(sender, 0);
  ASSERT_GE(accepted, 0);
  const std::string begun = soc_record(10, 0, 'h').substr(0, 9);
  ASSERT_EQ(send(sender, begun.data(), begun.size(), MSG_NOSIGNAL), static_cast<ssize_t>(begun.size()));
  docs.clear();
  debug_level = 1;
  zv_shutdown = 1;
  cap = rtt::capture([&] { vProducer(accepted, &rec_); });
  debug_level = 0;
  EXPECT_EQ(ctu::soc_ending(sender), "reset");
  EXPECT_TRUE(docs.empty());
  EXPECT_NE(cap.err.find("DEBUG: ptGetSocRequest: buf_size = 10 nbytes = 3 left = 7\n"),
            std::string::npos)
      << cap.err;
  EXPECT_NE(cap.err.find("WARNING: stopping with the record on socket = " + std::to_string(accepted) +
                         " incomplete - connection reset\n"),
            std::string::npos)
      << cap.err;
  EXPECT_TRUE(env_->client_log().empty());
  EXPECT_TRUE(env_->failed_copies().empty());
}

// A sender that keeps within the silence bound by dribbling a byte now and then is cut at
// its record's deadline (10 seconds and a second for each 10,000 bytes), with a reset, and
// the sender waiting behind it is served.
TEST_F(Interfaces, SocketSenderThatDribblesIsCutAtItsRecordDeadline) {
  int port = ctu::free_port();
  std::string port_text = std::to_string(port);
  answer = [](Trans_ctl_rec *) {
    zv_shutdown = 1;
    return 0;
  };
  const std::string record = soc_record(220, 0, 'd');
  std::string dribble_end, good_end;
  size_t dribbled = 0;
  std::chrono::steady_clock::duration held{};
  std::thread peer([&] {
    int fd = ctu::soc_connect(port);
    if (fd < 0) return;
    auto t0 = std::chrono::steady_clock::now();
    std::thread good([&] { good_end = ctu::soc_send(port, soc_record(7, 0, 'k')); });
    // A byte every 2 seconds, until the interface ends the connection (or 30 s have gone).
    while (dribbled < record.size() &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30)) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) != 0) break;
      if (send(fd, record.data() + dribbled, 1, MSG_NOSIGNAL) != 1) break;
      ++dribbled;
    }
    held = std::chrono::steady_clock::now() - t0;
    dribble_end = ctu::soc_ending(fd);
    good.join();
  });
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(iSoc_in_buf(&rec_, port_text.c_str()), 0); });
  peer.join();
  EXPECT_EQ(dribble_end, "reset");
  EXPECT_LT(dribbled, record.size());
  EXPECT_LT(held, std::chrono::seconds(30)) << "the dribbling sender was never cut";
  EXPECT_GE(held, std::chrono::seconds(ZV_TRANS_IDLE_SECONDS) - std::chrono::milliseconds(200));
  EXPECT_EQ(good_end, "closed");
  ASSERT_EQ(docs.size(), 1u) << cap.err;
  EXPECT_EQ(docs[0].text, "kkkkkkk");
  EXPECT_NE(cap.err.find(" did not complete its record within 10 seconds and one second for "
                         "each 10000 bytes of it - connection reset\n"),
            std::string::npos)
      << cap.err;
  EXPECT_TRUE(env_->client_log().empty());
}

TEST_F(Interfaces, SocketOneShotStopsAfterTheFirstConnection) {
  int port = ctu::free_port();
  std::string port_text = std::to_string(port);
  oneshot_flag = 1;
  std::thread peer([&] { ctu::soc_send(port, soc_record(3, 0, 'z')); });
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(iSoc_in_buf(&rec_, port_text.c_str()), 0); });
  peer.join();
  EXPECT_EQ(docs.size(), 1u);
  EXPECT_EQ(zv_shutdown.load(), 1);
  zv_shutdown = 0;
  cap = rtt::capture([&] { EXPECT_EQ(iSoc_in_buf(&rec_, "none"), -1); });
  EXPECT_NE(cap.err.find("ERROR: cannot find port in IP address (none) - cannot read from socket\n"),
            std::string::npos);
  // A port taken: the line names the address, the port and why. A port of its own, since
  // the first one may still be held by the closed connection's TIME_WAIT.
  port = ctu::free_port();
  port_text = std::to_string(port);
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  cap = rtt::capture([&] { EXPECT_EQ(iSoc_in_buf(&rec_, port_text.c_str()), -1); });
  close(taken);
  EXPECT_NE(cap.err.find("ERROR: cannot bind to local address 0.0.0.0 port " + port_text + ": " +
                         strerror(EADDRINUSE) + " (errno " + std::to_string(EADDRINUSE) + ")\n"),
            std::string::npos)
      << cap.err;
}

// ---- test message ---------------------------------------------------------------------

TEST_F(Interfaces, TestMessageAndItsPacketModeForm) {
  EXPECT_EQ(strlen(zv_test_message), 583u);
  EXPECT_EQ(std::string(zv_test_message + 35, 15), "DXC7           ");
  EXPECT_EQ(std::string(zv_test_message + 54, 15), "DXC_TEST       ");
  int segments = 0;
  for (const char *p = zv_test_message; *p; ++p) segments += *p == '\n';
  EXPECT_EQ(segments, 19);
  rtt::Captured cap = rtt::capture([&] { EXPECT_EQ(test_in_buf(&rec_), 0); });
  EXPECT_NE(cap.err.find("WARNING: loading test message in client\n"), std::string::npos);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].text, zv_test_message);
  EXPECT_EQ(docs[0].priority, 0);

  // Packet mode: the message is itself the packet, for the partner its ids name.
  zv_packet_mode_flag = 1;
  rtt::capture([&] { EXPECT_EQ(test_in_buf(&rec_), 0); });
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[1].packet, zv_test_message);
  EXPECT_EQ(docs[1].tp_index, 0);
  EXPECT_EQ(rec_.obuf_length, ZV_CLIENT_BUF_SIZE);
  ctu::clear_partners();
  rtt::capture([&] { test_in_buf(&rec_); });
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[2].tp_index, -1);
  EXPECT_EQ(iSoap_in_buf(), 0);
}

}  // namespace
