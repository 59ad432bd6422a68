// A statement as it is sent and as it is echoed in the trace ("Query: ...").
// Values of secret columns (passwords, card numbers, session tokens) go
// into the statement but show as a fixed mask in the echo, and are masked
// in the database's error text too, so no log line ever holds one.
#ifndef TAVRIN_SQLTEXT_H
#define TAVRIN_SQLTEXT_H

#include <string>
#include <vector>

#include "Trace.h"

class SqlText {
 public:
  static const char* const kMask;  // "***"

  SqlText& operator<<(const std::string& sql);  // statement text, shown as it is
  SqlText& operator<<(long long number);
  // A value for between single quotes: escaped, and shown.
  SqlText& value(const std::string& raw);
  // The same for a secret: escaped, and shown as kMask.
  SqlText& secret(const std::string& raw);

  const std::string& text() const { return text_; }
  const std::string& shown() const { return shown_; }
  // The echo as trace parts: the statement's text, and each value as a
  // value part (a secret shows as the mask, which is ours).
  const std::vector<TracePart>& shownParts() const { return parts_; }
  // `error` with every secret of this statement masked.
  std::string masked(const std::string& error) const;

 private:
  std::string text_;
  std::string shown_;
  std::vector<TracePart> parts_;
  std::vector<std::string> secrets_;
};

#endif
