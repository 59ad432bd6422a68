#include "NamingDirectories.h"

#include <omniORB4/omniORB.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "Trace.h"

std::string nameServiceArgument(int argc, char** argv) {
  const std::string key = "NameService=";
  std::string found;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-ORBInitRef") != 0) continue;
    std::string value = argv[i + 1];
    if (value.compare(0, key.size(), key) == 0) found = value.substr(key.size());
  }
  return found;
}

std::vector<std::string> splitReference(const std::string& ref) {
  std::string scheme;
  for (const char* s : {"corbaname:", "corbaloc:"}) {
    if (ref.compare(0, std::strlen(s), s) == 0) scheme = s;
  }
  if (scheme.empty()) return {ref};
  // The address list ends where the key ("/...") or the name ("#...")
  // begins; brackets of IPv6 addresses hold no '/' or '#'.
  size_t end = ref.find_first_of("/#", scheme.size());
  std::string list = ref.substr(scheme.size(), end == std::string::npos ? std::string::npos
                                                                         : end - scheme.size());
  std::string rest = end == std::string::npos ? "" : ref.substr(end);
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    std::string addr = list.substr(start, comma == std::string::npos ? std::string::npos
                                                                     : comma - start);
    out.push_back(scheme + addr + rest);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::string describeException(const CORBA::Exception& e) {
  std::ostringstream os;
  os << e._name();
  if (const CORBA::SystemException* se = CORBA::SystemException::_downcast(&e)) {
    const char* minor = se->NP_minorString();
    os << " (";
    if (minor != nullptr)
      os << minor;
    else
      os << "minor " << se->minor();
    const char* completed = se->completed() == CORBA::COMPLETED_YES  ? "yes"
                            : se->completed() == CORBA::COMPLETED_NO ? "no"
                                                                     : "maybe";
    os << ", completed " << completed << ")";
  }
  return os.str();
}

namespace {
// The retry thread and the servants share stdout: trace writes each line at
// once.
TraceValue v(const std::string& text) { return TraceValue{text}; }
}  // namespace

NamingDirectories::Result NamingDirectories::bindOne(Directory& d, const CosNaming::Name& name,
                                                     CORBA::Object_ptr ref, bool& rebound,
                                                     std::string& why) {
  try {
    if (CORBA::is_nil(d.nc)) {
      omniORB::setClientCallTimeout(d.obj, kCallTimeoutMs);
      d.nc = CosNaming::NamingContext::_narrow(d.obj);
      if (CORBA::is_nil(d.nc)) {
        why = "it is not a NamingContext object reference";
        return Result::Refused;
      }
    }
    omniORB::setClientCallTimeout(d.nc, kCallTimeoutMs);
    try {
      d.nc->bind(name, ref);
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
      if (!rebound) trace("Re-binding the IOR");
      rebound = true;
      d.nc->rebind(name, ref);
    }
    return Result::Bound;
  } catch (const CORBA::SystemException& e) {
    why = describeException(e);
    return Result::Unreachable;
  } catch (const CORBA::Exception& e) {
    why = describeException(e);
    return Result::Refused;
  }
}

size_t NamingDirectories::bindAll(std::vector<Directory>& dirs, const CosNaming::Name& name,
                                  CORBA::Object_ptr ref, std::vector<Directory>& pending,
                                  bool& rebound) {
  size_t bound = 0;
  const std::string id = name[0].id.in();
  for (Directory& d : dirs) {
    std::string why;
    Result r = bindOne(d, name, ref, rebound, why);
    if (r == Result::Bound) {
      ++bound;
      continue;
    }
    trace("Cannot bind ", v(id), " in the Naming Service at ", v(d.label), ": ", v(why));
    if (r == Result::Unreachable) pending.push_back(d);
  }
  return bound;
}

void NamingDirectories::retryInBackground(std::vector<Directory> pending,
                                          const CosNaming::Name& name, CORBA::Object_ptr ref) {
  const std::string id = name[0].id.in();
  for (const Directory& d : pending)
    trace("Binding ", v(id), " in the Naming Service at ", v(d.label),
          " in the background, every ", kRetrySeconds, " s");
  CORBA::Object_var mine = CORBA::Object::_duplicate(ref);
  std::thread([pending, name, mine, id]() mutable {
    unsigned attempts = 0;
    while (!pending.empty()) {
      std::this_thread::sleep_for(std::chrono::seconds(kRetrySeconds));
      ++attempts;
      for (auto it = pending.begin(); it != pending.end();) {
        bool rebound = true;  // "Re-binding the IOR" belongs to start-up
        std::string why;
        Result r = bindOne(*it, name, mine, rebound, why);
        if (r == Result::Bound) {
          trace("Bound ", v(id), " in the Naming Service at ", v(it->label));
          it = pending.erase(it);
        } else if (r == Result::Refused) {
          trace("Cannot bind ", v(id), " in the Naming Service at ", v(it->label), ": ", v(why),
                "; no more attempts there");
          it = pending.erase(it);
        } else {
          if (attempts % (60 / kRetrySeconds) == 0)
            trace("Still cannot bind ", v(id), " in the Naming Service at ", v(it->label), ": ",
                  v(why));
          ++it;
        }
      }
    }
  }).detach();
}
