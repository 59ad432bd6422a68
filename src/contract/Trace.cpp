#include "Trace.h"

#include <iostream>

#include "Contract.h"

void traceLine(const std::vector<TracePart>& parts) {
  std::string line;
  for (const TracePart& p : parts) line += p.text;
  line += '\n';
  std::cout << line << std::flush;
}

void trace_detail::add(std::vector<TracePart>& out, const TavrinException& e) {
  out.push_back({std::string(e._rep_id()) + " (", false});
  out.push_back({str(e.errorMessage.in()), true});
  out.push_back({")", false});
}
