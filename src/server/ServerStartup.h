// Start-up shared by acctserver and orderserver: ORB, Root POA, Naming
// Service registration under the name from the command line, start-up time,
// then the event loop. Runs on the main thread.
#ifndef TAVRIN_SERVERSTARTUP_H
#define TAVRIN_SERVERSTARTUP_H

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>

#include "tavrinTimer.h"

// The timer started as the first action of main.
extern tavrinTimer* hftObj;

struct ServerStyle {
  const char* usage;            // printed when no name is given
  bool printIorName;            // "IOR Name is <name>"
  const char* timeLinePrefix;   // text before the milliseconds
  bool printRegistered;         // "Server has successfully registered IOR ..."
};

// Activates the servant in the Root POA and returns its reference.
using Activator = std::function<CORBA::Object_ptr()>;

// The body of main after the timer is started: returns the exit status.
int serverMain(int argc, char** argv, const ServerStyle& style, const Activator& activate);

// Registers the servant under iorName in every Naming Service of
// `namingRef` (the NameService initial reference from the command line; ""
// or a single address: the one the ORB resolves) and serves until the ORB
// stops. Returns 1, after printing why, when no Naming Service accepted the
// binding; directories that could not be reached get it in the background.
// Returns 0 when the event loop returns.
int runServer(CORBA::ORB_ptr orb, const char* iorName, const ServerStyle& style,
              const Activator& activate, const std::string& namingRef = "");

#endif
