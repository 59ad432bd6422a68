// The Naming Services a replica registers in. A deployment may run several,
// given as one initial reference with an address list
// (-ORBInitRef NameService=corbaname::host1:port1,:host2:port2): clients
// reach whichever answers, so every replica binds its name into each of
// them. A directory that cannot be reached at start-up gets the binding
// later, from a background thread that retries until it succeeds.
//
// Threads: splitReference and the constructor run on the main thread before
// the event loop; the retry thread owns the pending directories from then
// on and only uses its own object references.
#ifndef TAVRIN_NAMINGDIRECTORIES_H
#define TAVRIN_NAMINGDIRECTORIES_H

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <string>
#include <vector>

// The NameService initial reference given on the command line
// ("-ORBInitRef NameService=<ref>"), or "" when there is none there. Call
// before ORB_init, which removes the option.
std::string nameServiceArgument(int argc, char** argv);

// One reference per address of a corbaname: or corbaloc: reference with an
// address list ("corbaname::h1:p1,:h2:p2#x" gives "corbaname::h1:p1#x" and
// "corbaname::h2:p2#x"); any other reference is returned alone.
std::vector<std::string> splitReference(const std::string& ref);

// Why a call failed, for the log: the exception's name, and for a system
// exception its minor code's name and completion status.
std::string describeException(const CORBA::Exception& e);

class NamingDirectories {
 public:
  // How long one call to a directory may take, connecting included, so that
  // a frozen or unreachable host cannot stall start-up or the retries.
  static constexpr CORBA::ULong kCallTimeoutMs = 5000;
  // Pause between background attempts.
  static constexpr unsigned kRetrySeconds = 2;

  struct Directory {
    std::string label;  // the reference as written, for the log
    CORBA::Object_var obj;
    CosNaming::NamingContext_var nc;
  };

  // Binds `ref` under `name` (one component, empty kind) in every
  // directory, taking over an existing binding ("Re-binding the IOR" once,
  // `rebound` set). Returns how many hold it now. Each failure is printed
  // with its reason; directories that could not be reached go to `pending`.
  static size_t bindAll(std::vector<Directory>& dirs, const CosNaming::Name& name,
                        CORBA::Object_ptr ref, std::vector<Directory>& pending,
                        bool& rebound);

  // Starts a detached thread that binds `ref` in each of `pending` until all
  // hold it, with a trace line when it starts, when a directory accepts the
  // binding, and every minute while one still cannot be reached.
  static void retryInBackground(std::vector<Directory> pending, const CosNaming::Name& name,
                                CORBA::Object_ptr ref);

  enum class Result { Bound, Unreachable, Refused };
  // One attempt: narrows (when not done yet) and binds. Unreachable (a
  // system exception: down, refusing, timed out) may succeed later; Refused
  // (not a naming context, a naming exception) will not. `why` says which.
  static Result bindOne(Directory& d, const CosNaming::Name& name, CORBA::Object_ptr ref,
                        bool& rebound, std::string& why);
};

#endif
