// The servers' trace: plain lines on standard output, each written whole and
// flushed at once. Every trace line and statement echo of the servers goes
// through traceLine(), the one place that decides how a line is put
// together from its parts.
//
// A line is a list of parts. Fixed text of ours (a string literal, a
// number) is a text part. Anything that came from outside the program (a
// user name, a title, a client identity, a database error text, a value in
// a statement) is a value part, written as TraceValue{...}: what a trace
// may show of such a value is decided in traceLine() alone. A std::string
// cannot be passed as it is, so every caller says which of the two it is.
//
// Thread safe: each line is written whole, under one lock, so lines of
// concurrent requests never run into each other. A line written inside a
// request starts with that request's key in brackets (setTraceRequest).
#ifndef TAVRIN_TRACE_H
#define TAVRIN_TRACE_H

#include <ServerIDL.hh>

#include <string>
#include <type_traits>
#include <vector>

struct TracePart {
  std::string text;
  bool value;  // from outside the program
};

// A value from outside the program, for a trace line.
struct TraceValue {
  std::string text;
};

// What a trace shows of a value from outside: control characters escaped
// (\n, \r, \t, \xNN, and \u00NN for the C1 range), so that no value adds
// a line; and no more than kTraceValueMax bytes of that, a longer value cut
// at a character's start and followed by "... [N bytes]", its full length,
// so that no value floods the log. An ordinary value shows as it is.
constexpr size_t kTraceValueMax = 256;
std::string traceValueText(const std::string& raw);

// Writes one line made of `parts`: text parts as they are, value parts as
// traceValueText() shows them.
void traceLine(const std::vector<TracePart>& parts);

// The key of the request the calling thread serves, written at the start of
// each of its lines as "[key] "; "" for none. Ours, never a value from
// outside: a request's key is a number or a hash of its identity.
void setTraceRequest(const std::string& key);

namespace trace_detail {
inline void add(std::vector<TracePart>& out, const char* text) { out.push_back({text, false}); }
inline void add(std::vector<TracePart>& out, const TraceValue& v) { out.push_back({v.text, true}); }
inline void add(std::vector<TracePart>& out, const std::vector<TracePart>& parts) {
  out.insert(out.end(), parts.begin(), parts.end());
}
// The exception's repository id, then its message (a value) in parentheses.
void add(std::vector<TracePart>& out, const TavrinException& e);
template <typename N, typename = std::enable_if_t<std::is_arithmetic<N>::value>>
void add(std::vector<TracePart>& out, N number) {
  out.push_back({std::to_string(number), false});
}
void add(std::vector<TracePart>& out, const std::string&) = delete;  // say: text or value
}  // namespace trace_detail

// One trace line: trace("User::login called"), trace("UserInfo.username: ",
// TraceValue{name}).
template <typename... Parts>
void trace(const Parts&... parts) {
  std::vector<TracePart> line;
  (trace_detail::add(line, parts), ...);
  traceLine(line);
}

#endif
