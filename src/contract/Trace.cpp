#include "Trace.h"

#include <cstdio>
#include <iostream>
#include <mutex>

#include "Contract.h"

namespace {

// How a byte of a value is written: control characters (C0, DEL) escaped,
// so that a value can neither end the line nor steer a terminal.
std::string shownByte(unsigned char c) {
  switch (c) {
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    return hex;
  }
  return std::string(1, static_cast<char>(c));
}

}  // namespace

std::string traceValueText(const std::string& raw) {
  std::string out;
  size_t i = 0;
  for (; i < raw.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(raw[i]);
    std::string piece;
    // C1 controls (U+0080..U+009F) are controls to a terminal too.
    if (c == 0xc2 && i + 1 < raw.size() && (static_cast<unsigned char>(raw[i + 1]) & 0xe0) == 0x80) {
      char u[16];
      std::snprintf(u, sizeof u, "\\u%04x", static_cast<unsigned char>(raw[i + 1]));
      piece = u;
      if (out.size() + piece.size() > kTraceValueMax) break;
      out += piece;
      ++i;
      continue;
    }
    piece = shownByte(c);
    if (out.size() + piece.size() > kTraceValueMax) break;
    out += piece;
  }
  if (i == raw.size()) return out;
  // Cut at a character's start: bytes from 0x80 up were copied one for one.
  while (i > 0 && (static_cast<unsigned char>(raw[i]) & 0xc0) == 0x80 && !out.empty() &&
         (static_cast<unsigned char>(out.back()) & 0x80) != 0) {
    out.pop_back();
    --i;
  }
  return out + "... [" + std::to_string(raw.size()) + " bytes]";
}

namespace {
thread_local std::string requestKey;
std::mutex& outputMutex() {
  static std::mutex m;
  return m;
}
}  // namespace

void setTraceRequest(const std::string& key) { requestKey = key; }

void traceLine(const std::vector<TracePart>& parts) {
  std::string line;
  if (!requestKey.empty()) line = "[" + requestKey + "] ";
  for (const TracePart& p : parts) line += p.value ? traceValueText(p.text) : p.text;
  line += '\n';
  std::lock_guard<std::mutex> lock(outputMutex());
  std::cout << line << std::flush;
}

void trace_detail::add(std::vector<TracePart>& out, const TavrinException& e) {
  out.push_back({std::string(e._rep_id()) + " (", false});
  out.push_back({str(e.errorMessage.in()), true});
  out.push_back({")", false});
}
