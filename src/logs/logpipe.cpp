// tavrin-logpipe FILE [MAX_BYTES [KEEP]]: copies its standard input, a
// program's trace, to FILE, rotating it by size (default 10 MB, 5 files
// kept). Ends when its input ends, with every line written.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "LineSplitter.h"
#include "RotatingLog.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "Usage: tavrin-logpipe FILE [MAX_BYTES [KEEP]]\n");
    return 2;
  }
  // It outlives the terminal that started the deployment, as its writer does.
  signal(SIGHUP, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  const unsigned long long maxBytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10485760ULL;
  const int keep = argc > 3 ? std::atoi(argv[3]) : 5;
  try {
    RotatingLog log(argv[1], maxBytes, keep);
    LineSplitter lines([&log](const char* d, std::size_t n) { return log.append(d, n); });
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!lines.feed(buf, static_cast<std::size_t>(n))) return 1;
    }
    return lines.finish() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrin-logpipe: %s\n", e.what());
    return 1;
  }
}
