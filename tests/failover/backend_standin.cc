#include "tests/failover/backend_standin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace fot {

namespace {

// A socket bound to 127.0.0.1:port with SO_REUSEPORT, so that the holder and one
// listener can share the port.
int bound_socket(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint32_t get32(const std::string &s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

}  // namespace

BackendStandin::BackendStandin() = default;

BackendStandin::~BackendStandin() {
  stop();
  if (holder_fd_ >= 0) close(holder_fd_);
}

bool BackendStandin::start() {
  if (running()) return true;
  if (holder_fd_ < 0) {
    holder_fd_ = bound_socket(0);
    if (holder_fd_ < 0) return false;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(holder_fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  int fd = bound_socket(port_);
  if (fd < 0 || listen(fd, 16) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    close(fd);
    return false;
  }
  listen_fd_ = fd;
  thread_ = std::thread([this, fd, stop_fd = stop_pipe_[0]] { serve(fd, stop_fd); });
  return true;
}

void BackendStandin::stop() {
  if (!thread_.joinable()) return;
  char c = 'x';
  (void)!write(stop_pipe_[1], &c, 1);
  thread_.join();
  close(listen_fd_);
  listen_fd_ = -1;
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  stop_pipe_[0] = stop_pipe_[1] = -1;
}

bool BackendStandin::running() const { return thread_.joinable(); }

std::string BackendStandin::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<BackendStandin::Record> BackendStandin::records() const {
  std::lock_guard<std::mutex> g(mutex_);
  return records_;
}

size_t BackendStandin::count() const {
  std::lock_guard<std::mutex> g(mutex_);
  return records_.size();
}

int BackendStandin::malformed() const {
  std::lock_guard<std::mutex> g(mutex_);
  return malformed_;
}

void BackendStandin::clear() {
  std::lock_guard<std::mutex> g(mutex_);
  records_.clear();
  malformed_ = 0;
}

bool BackendStandin::wait_count(size_t n, int timeout_ms) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (count() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return count() >= n;
}

void BackendStandin::add_faults(const std::vector<Fault> &faults) {
  std::lock_guard<std::mutex> g(mutex_);
  faults_.insert(faults_.end(), faults.begin(), faults.end());
}

size_t BackendStandin::faults_left() const {
  std::lock_guard<std::mutex> g(mutex_);
  return faults_.size();
}

void BackendStandin::set_hook(Hook hook) {
  std::lock_guard<std::mutex> g(mutex_);
  hook_ = std::move(hook);
}

void BackendStandin::serve(int listen_fd, int stop_fd) {
  for (;;) {
    pollfd p[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    bool faulty = false;
    Fault fault = Fault::never_read;
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (!faults_.empty()) {
        faulty = true;
        fault = faults_.front();
        faults_.erase(faults_.begin());
      }
    }
    if (faulty) {
      fault_connection(fault, fd, stop_fd);
    } else {
      read_connection(fd, stop_fd);
    }
    close(fd);
  }
}

void BackendStandin::read_connection(int fd, int stop_fd) {
  Hook hook;
  size_t before;
  {
    std::lock_guard<std::mutex> g(mutex_);
    hook = hook_;
    before = records_.size();
  }
  if (hook) hook(Event::accepted, before);
  std::string bytes;
  bool header_told = false;
  bool ended = false;  // by the writer's orderly end, not an error or a stall
  char buf[65536];
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (poll(p, 2, 10000) <= 0) break;  // a writer that stalls is cut off
    if (p[1].revents) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) ended = true;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
    if (!header_told && bytes.size() >= 6) {
      header_told = true;
      if (hook) hook(Event::header, before);
    }
  }
  bool whole = ended && bytes.size() >= 6 &&
               bytes.size() == 6 + static_cast<size_t>(get32(bytes, 0));
  Hook after;
  size_t index = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!whole) {
      ++malformed_;
      return;
    }
    Record r;
    r.length = get32(bytes, 0);
    r.priority = static_cast<uint16_t>(static_cast<unsigned char>(bytes[4]) << 8 |
                                       static_cast<unsigned char>(bytes[5]));
    r.body = bytes.substr(6);
    records_.push_back(std::move(r));
    index = records_.size() - 1;
    after = hook_;
  }
  if (after) after(Event::record, index);
}

void BackendStandin::fault_connection(Fault fault, int fd, int stop_fd) {
  // Reads exactly `want` bytes unless the connection ends first.
  auto read_some = [&](size_t want) {
    std::string got;
    char buf[65536];
    while (got.size() < want) {
      pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
      if (poll(p, 2, 10000) <= 0 || p[1].revents) break;
      ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  };
  switch (fault) {
    case Fault::reset_after_record:
    case Fault::close_after_half: {
      std::string header = read_some(6);
      if (header.size() == 6) {
        size_t body = get32(header, 0);
        read_some(fault == Fault::reset_after_record ? body : body / 2);
      }
      if (fault == Fault::reset_after_record) {
        linger abort_close = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
      }
      break;
    }
    case Fault::never_read: {
      // Only an error or a hang-up wakes it (the writer's reset when it gives up), or
      // the stand-in's own bound, well beyond the writer's for a small record.
      auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (;;) {
        pollfd p[2] = {{fd, 0, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(p, 2, 100);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || p[0].revents || p[1].revents || std::chrono::steady_clock::now() > end)
          break;
      }
      break;
    }
  }
  std::lock_guard<std::mutex> g(mutex_);
  ++malformed_;
}

}  // namespace fot
