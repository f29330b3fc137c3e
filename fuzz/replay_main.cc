// Replays fuzz inputs through a fuzz target's entry point where libFuzzer is not built:
// every file named on the command line, or found in a directory named there, is run once.
// Arguments that begin with '-' (libFuzzer's options) are ignored.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  fclose(f);
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int files = 0, failures = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.empty() && arg[0] == '-') continue;
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) {
      fprintf(stderr, "cannot stat %s\n", arg.c_str());
      ++failures;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR *d = opendir(arg.c_str());
      if (!d) {
        ++failures;
        continue;
      }
      while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        failures += run_file(arg + "/" + e->d_name);
        ++files;
      }
      closedir(d);
    } else {
      failures += run_file(arg);
      ++files;
    }
  }
  printf("replayed %d inputs\n", files);
  return failures == 0 && files > 0 ? 0 : 1;
}
