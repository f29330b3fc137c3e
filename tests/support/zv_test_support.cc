#include "tests/support/zv_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#ifndef ZV_TEST_TMP
#define ZV_TEST_TMP "/tmp/zv-test-tmp"
#endif
#ifndef ZV_BIN_DIR
#define ZV_BIN_DIR "."
#endif

namespace zvtest {

namespace {

void mkdirs(const std::string &path) {
  std::string cur;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/') cur = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    cur += part + "/";
    mkdir(cur.c_str(), 0755);
  }
}

void remove_tree(const std::string &path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

}  // namespace

std::string scratch_dir(const std::string &name) {
  static int counter = 0;
  std::string path = std::string(ZV_TEST_TMP) + "/" + name + "-" + std::to_string(getpid()) +
                     "-" + std::to_string(counter++);
  remove_tree(path);
  mkdirs(path);
  return path;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::stringstream ss(text);
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

std::string program_path(const std::string &relative) {
  const char *env = getenv("ZV_BIN_DIR");
  return std::string(env && *env ? env : ZV_BIN_DIR) + "/" + relative;
}

void become_subreaper() {
  static bool done = false;
  if (!done) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    done = true;
  }
}

pid_t start_program(const std::string &exe, const std::string &argv0,
                    const std::vector<std::string> &args, const std::string &cwd,
                    const std::string &tag, const std::function<bool()> &before_exec) {
  become_subreaper();
  std::string out = cwd + "/" + tag + ".out";
  std::string err = cwd + "/" + tag + ".err";
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fi = open("/dev/null", O_RDONLY);
    if (fo < 0 || fe < 0 || fi < 0) _exit(121);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (before_exec && !before_exec()) _exit(123);
    execv(exe.c_str(), argv.data());
    _exit(122);
  }
  return pid;
}

RunResult wait_program(pid_t pid, const std::string &cwd, const std::string &tag,
                       int timeout_ms) {
  RunResult r;
  if (pid <= 0) return r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int st = 0;
  for (;;) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) {
      r.status = decode_status(st);
      break;
    }
    if (w < 0) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      r.timed_out = true;
      r.status = decode_status(st);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.out = read_file(cwd + "/" + tag + ".out");
  r.err = read_file(cwd + "/" + tag + ".err");
  return r;
}

RunResult run_program(const std::string &exe, const std::string &argv0,
                      const std::vector<std::string> &args, const std::string &cwd,
                      int timeout_ms) {
  pid_t pid = start_program(exe, argv0, args, cwd);
  return wait_program(pid, cwd, "run", timeout_ms);
}

bool drop_file_privileges() {
  if (geteuid() != 0) return true;
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
  return true;
}

pid_t wait_pid_file(const std::string &path, int timeout_ms) {
  pid_t pid = -1;
  wait_for(
      [&] {
        std::string s = read_file(path);
        if (s.empty()) return false;
        pid = static_cast<pid_t>(atoi(s.c_str()));
        return pid > 0;
      },
      timeout_ms);
  return pid;
}

int wait_daemon(pid_t pid, int timeout_ms) {
  // No pid (a start that failed): -1 or 0 would make waitpid and kill reach every process.
  if (pid <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int st = 0;
  for (;;) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) return decode_status(st);
    // Not ours to wait for: watch it disappear.
    if (w < 0 && kill(pid, 0) != 0 && errno == ESRCH) return -2;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool wait_for(const std::function<bool()> &cond, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void make_key_and_cert(const std::string &key_path, const std::string &cert_path,
                       const CertSpec &spec) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_RSA_gen(static_cast<unsigned>(spec.bits)), EVP_PKEY_free);
  if (!key) throw std::runtime_error("RSA key generation failed");
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 4242);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME *name = X509_get_subject_name(cert.get());
  auto add = [&](const char *field, const std::string &value) {
    if (!value.empty())
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char *>(value.c_str()), -1,
                                 -1, 0);
  };
  add("C", spec.country);
  add("O", spec.organization);
  add("CN", spec.common_name);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("certificate signing failed");

  FILE *kf = fopen(key_path.c_str(), "w");
  FILE *cf = fopen(cert_path.c_str(), "w");
  if (!kf || !cf) throw std::runtime_error("cannot write key or certificate");
  PEM_write_PrivateKey(kf, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_X509(cf, cert.get());
  fclose(kf);
  fclose(cf);
}

namespace {

int kernel_chosen_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("cannot bind port 0");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

int free_tcp_port() {
  int ephemeral_low = 32768;
  FILE *f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
  if (f != nullptr) {
    if (fscanf(f, "%d", &ephemeral_low) != 1) ephemeral_low = 32768;
    fclose(f);
  }
  const int high = ephemeral_low;
  const int low = high - 12000 > 1024 ? high - 12000 : 1024;
  // Tests running beside this one pick from the same range: each port is claimed with a
  // lock held until this process ends, so no two of them pick one port at once.
  const std::string claims = program_path("test-tmp/port-claims");
  mkdir(program_path("test-tmp").c_str(), 0755);
  mkdir(claims.c_str(), 0755);
  static std::mt19937 pick(static_cast<unsigned>(getpid()) * 2654435761u ^
                           static_cast<unsigned>(std::chrono::steady_clock::now()
                                                     .time_since_epoch()
                                                     .count()));
  for (int attempt = 0; high > low && attempt < 500; ++attempt) {
    int port = low + static_cast<int>(pick() % static_cast<unsigned>(high - low));
    int claim = open((claims + "/" + std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                     0666);
    if (claim < 0) break;
    if (flock(claim, LOCK_EX | LOCK_NB) != 0) {
      close(claim);
      continue;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
      close(claim);
      break;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;  // the claim stays held, on purpose
    close(claim);
  }
  return kernel_chosen_port();
}

int shell(const std::string &command, std::string *output) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (output) *output = out;
  return decode_status(st);
}

std::string hex(const unsigned char *data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    s.push_back(digits[data[i] >> 4]);
    s.push_back(digits[data[i] & 15]);
  }
  return s;
}

std::string hex(const std::string &bytes) {
  return hex(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

}  // namespace zvtest
