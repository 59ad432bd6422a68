// Small text helpers of the console.
#ifndef TAVRIN_TEXTHELPERS_H
#define TAVRIN_TEXTHELPERS_H

#include <cstdio>
#include <string>

// Removes every occurrence of `subStr`, searching again from the start.
inline void removeStr(std::string& inStr, const std::string& subStr) {
  if (subStr.empty()) return;  // nothing to remove; would never end
  for (size_t at = inStr.find(subStr); at != std::string::npos; at = inStr.find(subStr))
    inStr.erase(at, subStr.size());
}

inline std::string intToStr(int intVal) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%d", intVal);
  if (n < 0 || n >= static_cast<int>(sizeof buf)) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

#endif
