// Test replicas for the console client's tests: in-process Account and
// OrderFulfillment servants that answer, refuse, wait for a gate, or fail
// with a system exception; and a thread-safe capture of console output.
#ifndef TAVRIN_CLIENT_SERVANTS_H
#define TAVRIN_CLIENT_SERVANTS_H

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <streambuf>
#include <thread>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace ct {

// Holds hanging servants until opened (or until their own limit passes).
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> l(m_);
    open_ = true;
    cv_.notify_all();
  }
  void close() {
    std::lock_guard<std::mutex> l(m_);
    open_ = false;
  }
  void wait(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait_for(l, limit, [this] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

inline Gate& gate() {
  static Gate g;
  return g;
}

enum class Mode { Succeed, Refuse, Hang, Fail };

// What every test replica does with a request, and what it saw.
class Behaviour {
 public:
  Behaviour(Mode mode, std::string tag, int delayMs = 0)
      : mode(mode), tag(std::move(tag)), delayMs(delayMs) {}
  Mode mode;
  std::string tag;
  int delayMs;
  std::function<void()> onCall;  // runs first, in the servant's thread
  std::atomic<int> calls{0};

  void enter(const ClientTransaction* ct) {
    ++calls;
    if (ct) {
      std::lock_guard<std::mutex> l(m_);
      seen_.push_back(std::string(ct->clientID.in()) + "#" + std::to_string(ct->transactionID));
    }
    if (onCall) onCall();
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    switch (mode) {
      case Mode::Succeed: return;
      case Mode::Refuse: throw TavrinException(("refused by " + tag).c_str());
      case Mode::Hang: gate().wait(std::chrono::seconds(30)); return;
      case Mode::Fail: throw CORBA::COMM_FAILURE(0, CORBA::COMPLETED_MAYBE);
    }
  }
  // "clientID#transactionID" of every request that carried one.
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> l(m_);
    return seen_;
  }

 private:
  std::mutex m_;
  std::vector<std::string> seen_;
};

class TestAccount : public POA_Account, public Behaviour {
 public:
  using Behaviour::Behaviour;
  CORBA::Long token = 7;

  Ticket* logIn(UserInfo& u, const ClientTransaction& ct) override {
    enter(&ct);
    u.fName = CORBA::string_dup(("F" + tag).c_str());
    Ticket* t = new Ticket;
    t->username = CORBA::string_dup(u.username.in());
    t->token = token;
    return t;
  }
  void createAccount(const UserInfo&, const ClientTransaction& ct) override { enter(&ct); }
  void discontinueAccount(const UserInfo&, const Ticket&, const ClientTransaction& ct) override {
    enter(&ct);
  }
  void updateProfile(const UserInfo&, const Ticket&, const ClientTransaction& ct) override {
    enter(&ct);
  }
  void logOut(const Ticket&) override { enter(nullptr); }
  CORBA::ULong obtainNoOfOutstandingMovies(const Ticket&) override {
    enter(nullptr);
    return 0;
  }
};

class TestOrder : public POA_OrderFulfillment, public Behaviour {
 public:
  using Behaviour::Behaviour;
  CORBA::ULong copies = 3;
  std::atomic<unsigned> lastMovieID{0};

  void searchByTitle(MovieInfo& m, const Ticket&) override {
    enter(nullptr);
    m.movieID = 42;
    m.director = CORBA::string_dup(("D" + tag).c_str());
    m.rated = CORBA::string_dup("PG");
    m.count = copies;
  }
  void returnMovie(MovieInfo& m, const Ticket&, const ClientTransaction& ct) override {
    enter(&ct);
    m.count = copies + 1;
  }
  void checkOutMovie(MovieInfo& m, const Ticket&, const ClientTransaction& ct) override {
    enter(&ct);
    lastMovieID = m.movieID;
  }
  void placeInWaitlist(MovieInfo& m, const Ticket&, const ClientTransaction& ct) override {
    enter(&ct);
    lastMovieID = m.movieID;
  }
};

// Activates the test program's Root POA once, so its servants answer.
inline PortableServer::POA_ptr rootPoa() {
  static PortableServer::POA_var poa;
  if (CORBA::is_nil(poa)) {
    CORBA::Object_var obj = tt::orb()->resolve_initial_references("RootPOA");
    poa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
  }
  return poa.in();
}

inline CosNaming::Name nameOf(const std::string& s) {
  CosNaming::Name n;
  n.length(1);
  n[0].id = CORBA::string_dup(s.c_str());
  n[0].kind = CORBA::string_dup("");
  return n;
}

// Activates `servant` and binds it under `name`.
template <typename Servant>
void bind(const std::string& name, Servant* servant) {
  rootPoa();
  CORBA::Object_var ref = servant->_this();
  tt::naming()->rebind(nameOf(name), ref);
}

// Console output that workers and the test may touch at the same time.
class Capture : public std::streambuf {
 public:
  std::string text() {
    std::lock_guard<std::mutex> l(m_);
    return s_;
  }
  int count(const std::string& needle) {
    const std::string t = text();
    int n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }
  bool has(const std::string& needle) { return text().find(needle) != std::string::npos; }

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) {
      std::lock_guard<std::mutex> l(m_);
      s_.push_back(static_cast<char>(c));
    }
    return c;
  }
  std::streamsize xsputn(const char* p, std::streamsize n) override {
    std::lock_guard<std::mutex> l(m_);
    s_.append(p, static_cast<size_t>(n));
    return n;
  }

 private:
  std::mutex m_;
  std::string s_;
};

}  // namespace ct

#endif
