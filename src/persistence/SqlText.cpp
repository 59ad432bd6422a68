#include "SqlText.h"

#include <regex>

#include "DBConnection.h"

const char* const SqlText::kMask = "***";

SqlText& SqlText::operator<<(const std::string& sql) {
  text_ += sql;
  shown_ += sql;
  parts_.push_back({sql, false});
  return *this;
}

SqlText& SqlText::value(const std::string& raw) {
  const std::string escaped = DBConnection::escape(raw);
  text_ += escaped;
  shown_ += escaped;
  parts_.push_back({escaped, true});
  return *this;
}

SqlText& SqlText::operator<<(long long number) { return *this << std::to_string(number); }

SqlText& SqlText::secret(const std::string& raw) {
  const std::string escaped = DBConnection::escape(raw);
  text_ += escaped;
  shown_ += kMask;
  parts_.push_back({kMask, false});
  // Too short a secret would mask ordinary letters of the error text.
  for (const std::string* s : {&raw, &escaped})
    if (s->size() >= 4) secrets_.push_back(*s);
  return *this;
}

std::string SqlText::masked(const std::string& error) const {
  if (secrets_.empty()) return error;
  // The database quotes a value it could not store ("Incorrect string
  // value: '\xF0...' for column ..."), in its own rendering of the bytes.
  static const std::regex quotedValue("value: '.*' for column");
  std::string out = std::regex_replace(error, quotedValue, "value: '***' for column");
  for (const std::string& s : secrets_) {
    for (size_t at = out.find(s); at != std::string::npos; at = out.find(s, at + 3))
      out.replace(at, s.size(), kMask);
  }
  return out;
}
