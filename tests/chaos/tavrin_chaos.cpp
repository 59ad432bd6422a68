// ./tavrin chaos [--seed S] [--minutes M] [--sessions N] [--report]: faults
// on a seeded random schedule under customer sessions, then a check of what
// every customer was told against the business tables. Runs inside the
// private environment that ./tavrin test and ./tavrin chaos prepare.
#include <cstdlib>
#include <iostream>
#include <string>

#include <omniORB4/CORBA.h>

#include "ChaosRun.h"

namespace {
int usage() {
  std::cerr << "usage: tavrin_chaos [--seed S] [--minutes M] [--sessions N] [--report]"
            << std::endl;
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  tt::ChaosOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--report") {
      o.report = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    char* end = nullptr;
    const std::string v = argv[++i];
    if (a == "--seed") o.seed = static_cast<unsigned>(std::strtoul(v.c_str(), &end, 10));
    else if (a == "--minutes") o.minutes = std::strtod(v.c_str(), &end);
    else if (a == "--sessions") o.sessions = static_cast<int>(std::strtol(v.c_str(), &end, 10));
    else return usage();
    if (end == nullptr || *end != '\0' || v.empty()) return usage();
  }
  if (o.minutes < 1 || o.sessions < 1 || o.sessions > 256) {
    std::cerr << "--minutes must be at least 1, --sessions between 1 and 256" << std::endl;
    return 2;
  }
  try {
    return tt::ChaosRun(o).run(std::cout);
  } catch (const CORBA::Exception& e) {
    std::cout << "chaos run ended by " << e._name() << "\nseed " << o.seed << std::endl;
  } catch (const std::exception& e) {
    std::cout << "chaos run ended by " << e.what() << "\nseed " << o.seed << std::endl;
  }
  return 2;
}
