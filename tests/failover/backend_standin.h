// A stand-in for the back-end socket server: listens on 127.0.0.1, takes one connection
// at a time, and records what each connection carried, parsed independently of the
// writer's code (u32 length, u16 priority, body, big-endian). As a back end must, it
// reads a connection to its orderly end and then closes it, which tells the writer that
// the record arrived; a connection that ends in an error is not a record. It can be
// stopped, after which connections to its port are refused, and started again on the
// same port, and told to misbehave on the next connections.
//
// The records are read by the test thread while a thread of the stand-in fills them;
// every accessor takes the lock.
#ifndef ZV_TESTS_FAILOVER_BACKEND_STANDIN_H
#define ZV_TESTS_FAILOVER_BACKEND_STANDIN_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fot {

class BackendStandin {
 public:
  struct Record {
    uint32_t length = 0;
    uint16_t priority = 0;
    std::string body;
  };
  // Ways a back end fails a connection: it reads the record whole and then resets the
  // connection; it reads the header and half the body and closes; it never reads, and
  // closes only once the writer has given up (or the stand-in stops, or 30 s passed).
  enum class Fault { reset_after_record, close_after_half, never_read };

  // What the stand-in has seen so far, told to the hook from the stand-in's thread:
  // a connection accepted, the six header bytes read, a whole record read. `index` is
  // the number of whole records before this event.
  enum class Event { accepted, header, record };
  using Hook = std::function<void(Event, size_t index)>;

  BackendStandin();
  ~BackendStandin();
  BackendStandin(const BackendStandin &) = delete;
  BackendStandin &operator=(const BackendStandin &) = delete;

  // Listens (on a fresh port the first time, on the same port afterwards). False when
  // the socket cannot be set up.
  bool start();
  // Stops listening; a connection being read is cut off. Idempotent.
  void stop();
  bool running() const;

  int port() const { return port_; }
  std::string address() const;  // "127.0.0.1:<port>"

  std::vector<Record> records() const;
  size_t count() const;
  // Connections that closed before a whole record arrived, carried bytes after it, or
  // ended in an error or a fault.
  int malformed() const;
  // The next connections, one each, meet these faults in turn; later ones are served.
  void add_faults(const std::vector<Fault> &faults);
  // Faults not yet met.
  size_t faults_left() const;
  void clear();
  // Waits until at least n whole records have arrived.
  bool wait_count(size_t n, int timeout_ms = 10000) const;
  // Replaces the hook; an empty hook removes it.
  void set_hook(Hook hook);

 private:
  void serve(int listen_fd, int stop_fd);
  void read_connection(int fd, int stop_fd);
  // Plays the fault on the connection.
  void fault_connection(Fault fault, int fd, int stop_fd);

  int holder_fd_ = -1;  // keeps the port bound (not listening) between runs
  int port_ = 0;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  int malformed_ = 0;
  std::vector<Fault> faults_;
  Hook hook_;
};

}  // namespace fot

#endif
