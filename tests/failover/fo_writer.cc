// A delivering process for the tests: it opens the failover store in <failover dir> with
// init_failover, as any process that shares the store with failoverd does, and hands
// documents <first> to <last> - 1 to the writer side, pausing <pause_us> after each. With
// [threads] above 1, that many threads share the work (thread t takes the documents whose
// number leaves t after division by the thread count), each calling the writer side on
// its own. Its cells are its own and start in FO_RECOVERY, so every document is stored.
// After each document the writer side reported kept it prints "stored <n>" (flushed, so a
// kill loses no report of a stored document); a document it did not keep ends the run
// with 1.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "failover/zv_failover.h"
#include "runtime/zv_globals.h"
#include "tests/failover/fo_writer.h"

namespace {

std::atomic<bool> lost{false};

void write_documents(int first, int last, int step, useconds_t pause) {
  char servaddr[] = "127.0.0.1:1";  // never used: the cells say FO_RECOVERY
  for (int n = first; n < last && !lost; n += step) {
    std::string body = fot::shared_document(n);
    Trans_ctl_rec t;
    memset(&t, 0, sizeof t);
    t.who = ZV_WHO_STD_SERVER;
    t.msg_type = ZV_MT_BASIC_EDI;
    t.status = -999;
    t.tp_index = -1;
    snprintf(t.isa_line, sizeof t.isa_line, "%s", fot::shared_isa(n).c_str());
    t.obufferp = body.data();
    t.obuf_length = static_cast<int>(body.size());
    if (soc_write_fo(&t, servaddr) != 0) {
      printf("lost %d\n", n);
      fflush(stdout);
      lost = true;
      return;
    }
    printf("stored %d\n", n);
    fflush(stdout);
    if (pause > 0) usleep(pause);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: fo_writer <failover dir> <first> <last> <pause_us> [threads]\n");
    return 2;
  }
  snprintf(program, sizeof program, "%s", "fo_writer");
  snprintf(failoverPath, sizeof failoverPath, "%s", argv[1]);
  failoverd[0] = '\0';
  debug_level = 0;
  int first = atoi(argv[2]), last = atoi(argv[3]);
  useconds_t pause = static_cast<useconds_t>(atoi(argv[4]));
  int threads = argc == 6 ? atoi(argv[5]) : 1;
  if (threads < 1) threads = 1;
  if (init_failover() != 0) return 3;
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t) others.emplace_back(write_documents, first + t, last, threads, pause);
  write_documents(first, last, threads, pause);
  for (std::thread &t : others) t.join();
  if (lost) return 1;
  release_failover();
  return 0;
}
