// Hands a byte stream on in whole lines: what follows the last newline of a
// chunk waits for the rest of its line. A line longer than 64 KB is handed
// on in parts, so memory stays bounded. Not thread safe.
#ifndef TAVRIN_LINESPLITTER_H
#define TAVRIN_LINESPLITTER_H

#include <cstddef>
#include <functional>
#include <string>

class LineSplitter {
 public:
  // `sink` receives whole lines (several at once); false from it stops.
  using Sink = std::function<bool(const char*, std::size_t)>;
  explicit LineSplitter(Sink sink) : sink_(std::move(sink)) {}

  bool feed(const char* data, std::size_t n);
  // The unterminated tail, at the end of the stream.
  bool finish();

 private:
  static constexpr std::size_t kMaxPending = 65536;
  Sink sink_;
  std::string pending_;
};

#endif
