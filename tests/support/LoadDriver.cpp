#include "LoadDriver.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <sstream>

#include "Client.h"
#include "Contract.h"
#include "FailureNotice.h"
#include "FanOut.h"
#include "RequestDeadline.h"
#include "TestSupport.h"

namespace tt {

void configureOrb() {
  static bool done = false;
  if (done) return;
  done = true;
  // omniORB reads its parameters from ORB... environment variables when the
  // ORB is created; one console process per customer never shares them.
  setenv("ORBmaxGIOPConnectionPerServer", "256", 0);
  orb();
  RequestDeadline::installClient();
  naming();
}

const char* opName(Op op) {
  switch (op) {
    case Op::CreateAccount: return "createAccount";
    case Op::LogIn: return "logIn";
    case Op::Search: return "searchByTitle";
    case Op::Checkout: return "checkOutMovie";
    case Op::Waitlist: return "placeInWaitlist";
    case Op::Return: return "returnMovie";
    case Op::UpdateProfile: return "updateProfile";
    case Op::LogOut: return "logOut";
    case Op::Discontinue: return "discontinueAccount";
    case Op::CountHeld: return "obtainNoOfOutstandingMovies";
  }
  return "?";
}

bool carriesTransaction(Op op) {
  switch (op) {
    case Op::CreateAccount:
    case Op::LogIn:
    case Op::Checkout:
    case Op::Waitlist:
    case Op::Return:
    case Op::UpdateProfile:
    case Op::Discontinue:
      return true;
    default:
      return false;
  }
}

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Success: return "success";
    case Outcome::Refused: return "refused";
    case Outcome::AllFailed: return "all replicas failed";
    case Outcome::TimedOut: return "timed out";
  }
  return "?";
}

namespace {
double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
}  // namespace

double RequestRecord::decidedMs() const { return msBetween(startedAt, decidedAt); }
double RequestRecord::elapsedMs() const { return msBetween(startedAt, endedAt); }

// --- ReplicaSet ---------------------------------------------------------------

ReplicaSet::ReplicaSet(std::string prefix, std::shared_ptr<ReplicaClocks> clocks)
    : prefix_(std::move(prefix)),
      health_(std::make_shared<ReplicaHealth>(prefix_)),
      clocks_(std::move(clocks)) {}

bool ReplicaSet::discover() {
  if (pinned_) return true;
  std::vector<CORBA::Object_var> fresh;
  try {
    for (int i = 0;; ++i) {
      CORBA::Object_var o = resolve(prefix_ + std::to_string(i));
      if (CORBA::is_nil(o)) break;
      fresh.push_back(o._retn());
    }
  } catch (const CORBA::Exception&) {
    return false;
  }
  refs_.swap(fresh);
  health_->reset(refs_.size());
  if (clocks_) clocks_->reset(setId(), refs_.size());
  return true;
}

void ReplicaSet::pin(std::vector<CORBA::Object_var> refs) {
  refs_ = std::move(refs);
  pinned_ = true;
  health_->reset(refs_.size());
  if (clocks_) clocks_->reset(setId(), refs_.size());
}

// --- Session -------------------------------------------------------------------

struct Session::Slot {
  int status = 0;  // 0 pending, 1 success, 2 refusal, -1 failure
  CORBA::CompletionStatus completion = CORBA::COMPLETED_NO;  // of a failure
  std::string message;
  UserInfo userInfo;
  MovieInfo movie;
  Ticket ticket;
  ClientTransaction trans;
  CORBA::ULong number = 0;
};

// What the session's requesting thread waits on: the slots of the attempt
// in progress, and a count of every call that ended, late ones and probes
// included. Shared with the workers, which may outlive their request.
struct Session::Board {
  std::mutex m;
  std::condition_variable cv;
  unsigned long changes = 0;
  void changed() {
    {
      std::lock_guard<std::mutex> lock(m);
      ++changes;
    }
    cv.notify_all();
  }
};

Session::Session(int index, const std::string& user, const std::string& clientID,
                 SessionOptions options)
    : index_(index),
      user_(user),
      options_(options),
      board_(std::make_shared<Board>()),
      clocks_(std::make_shared<ReplicaClocks>()),
      accounts_("account", clocks_),
      orders_("orderObj", clocks_) {
  if (clientID.empty())
    identity_.renew();
  else
    identity_.fix(clientID);
  configureOrb();
  profile_ = makeUser(user, "pw-" + user);
  ticket_ = makeTicket(user, 0);
  accounts_.discover();
  orders_.discover();
}

Session::~Session() {
  for (auto& b : background_)
    if (b.thread.joinable()) b.thread.join();
}

ClientTransaction Session::nextTransaction(RequestRecord& record) {
  identity_.advance();
  record.hasTransaction = true;
  record.transactionID = identity_.number();
  return identity_.current();
}

void Session::reap() {
  std::vector<Background> running;
  for (auto& b : background_) {
    if (b.ended->load()) {
      b.thread.join();
    } else {
      running.push_back(std::move(b));
    }
  }
  background_.swap(running);
}

void Session::startProbes(ReplicaSet& set) {
  for (size_t i : set.health()->dueForProbe(ReplicaHealth::Clock::now())) {
    Background b;
    b.ended = std::make_shared<std::atomic<bool>>(false);
    CORBA::Object_var target = CORBA::Object::_duplicate(set.at(i));
    std::shared_ptr<ReplicaHealth> health = set.health();
    std::shared_ptr<Board> board = board_;
    std::shared_ptr<std::atomic<bool>> ended = b.ended;
    b.thread = std::thread([target, health, board, ended, i] {
      bool answered = false;
      try {
        omniORB::setClientCallTimeout(target.in(), ReplicaHealth::kProbeTimeoutMs);
        target->_non_existent();
        answered = true;
      } catch (...) {
      }
      health->probeEnded(i, answered);
      board->changed();
      ended->store(true);
    });
    background_.push_back(std::move(b));
  }
}

void Session::startProbes() {
  startProbes(accounts_);
  startProbes(orders_);
}

Outcome Session::run(Op op, ReplicaSet& set, RequestRecord rec, const Call& call,
                     const std::function<void(Slot&)>& onSuccess) {
  rec.session = index_;
  rec.clientID = identity_.id();
  rec.op = op;
  rec.startedAt = Clock::now();
  const Clock::time_point deadline = rec.startedAt + options_.limit;
  Slot prototype;
  prototype.userInfo = profile_;
  prototype.ticket = ticket_;
  prototype.movie = makeMovie(rec.title);
  prototype.movie.movieID = rec.movieID;
  prototype.trans = makeTrans(identity_.id(), rec.transactionID);
  Outcome outcome = run(rec, set, deadline, prototype, call, onSuccess);
  while (unknownOutcome(rec) && rec.resends < options_.resendsToSettle) {
    ++rec.resends;
    rec.toldNoEffect = false;
    rec.message.clear();
    rec.decidedBy = -1;
    rec.skipped.clear();
    outcome = run(rec, set, Clock::now() + options_.limit, prototype, call, onSuccess);
  }
  rec.outcome = outcome;
  rec.endedAt = Clock::now();
  records_.push_back(rec);
  if (observer_) observer_(records_.back());
  return outcome;
}

void Session::noteAnswer(RequestRecord& rec, const Slot& slot) {
  if (rec.op == Op::LogIn) {
    rec.token = slot.ticket.token;
    rec.ticketUser = str(slot.ticket.username.in());
  }
  if (rec.op == Op::CountHeld) rec.held = slot.number;
}

bool Session::unknownOutcome(const RequestRecord& rec) {
  return rec.hasTransaction && !rec.toldNoEffect &&
         (rec.outcome == Outcome::AllFailed || rec.outcome == Outcome::TimedOut);
}

Outcome Session::run(RequestRecord& rec, ReplicaSet& set, Clock::time_point deadline,
                     const Slot& prototype, const Call& call,
                     const std::function<void(Slot&)>& onSuccess) {
  reap();
  if (options_.spareHungReplicas) startProbes();
  // The replicas get the deadline stated in their own clocks (ReplicaClocks).
  std::shared_ptr<ReplicaClocks> clocks = clocks_;
  int rediscoveries = 0;
  FailureNotice notice;
  Outcome outcome = Outcome::AllFailed;
  for (;;) {
    ++rec.attempts;
    // One slot per called replica; a worker fills a copy of its own and
    // hands it over under the board's lock.
    auto slots = std::make_shared<std::vector<Slot>>();
    std::vector<size_t> called;  // replica of each slot
    std::vector<std::thread> workers;
    std::vector<std::shared_ptr<std::atomic<bool>>> ended;
    auto start = [&](const std::vector<size_t>& replicas) {
      {
        std::lock_guard<std::mutex> lock(board_->m);
        for (size_t i = 0; i < replicas.size(); ++i) slots->push_back(prototype);
      }
      for (size_t replica : replicas) {
        const size_t k = called.size();
        called.push_back(replica);
        CORBA::Object_var target = CORBA::Object::_duplicate(set.at(replica));
        std::shared_ptr<ReplicaHealth> health = set.health();
        std::shared_ptr<Board> board = board_;
        auto done = std::make_shared<std::atomic<bool>>(false);
        ended.push_back(done);
        workers.emplace_back([=] {
          Slot slot = prototype;
          ReplicaHealth::Ended how = ReplicaHealth::Ended::Answered;
          const int setId = set.setId();
          ReplicaClocks::Wall::time_point sent{};
          try {
            sent = clocks->prepareCall(setId, replica, target.in(), deadline);
            call(target.in(), slot);
            slot.status = 1;
          } catch (const TavrinException& e) {
            slot.status = 2;
            slot.message = str(e.errorMessage.in());
          } catch (const CORBA::SystemException& e) {
            slot.status = -1;
            slot.completion = e.completed();
            how = ReplicaHealth::classify(e);
            std::ostringstream os;
            os << e._name() << " (minor " << e.minor() << ")";
            slot.message = os.str();
          } catch (const CORBA::Exception& e) {
            slot.status = -1;
            slot.completion = CORBA::COMPLETED_MAYBE;
            how = ReplicaHealth::Ended::Failed;
            slot.message = e._name();
          } catch (...) {
            slot.status = -1;
            slot.completion = CORBA::COMPLETED_MAYBE;
            how = ReplicaHealth::Ended::Failed;
            slot.message = "unexpected C++ exception";
          }
          // Every reply, a refusal or failure too, tells the replica's clock.
          if (sent != ReplicaClocks::Wall::time_point{}) clocks->measure(setId, replica, sent);
          // Free before the status shows, so a repeat may call it again.
          health->callEnded(replica, how);
          {
            std::lock_guard<std::mutex> lock(board->m);
            (*slots)[k] = std::move(slot);
            ++board->changes;
          }
          board->cv.notify_all();
          done->store(true);
        });
      }
    };
    std::vector<size_t> skipped;
    if (options_.spareHungReplicas) {
      start(set.health()->choose(&skipped));
    } else {
      std::vector<size_t> all;
      for (size_t i = 0; i < set.size(); ++i) all.push_back(i);
      start(all);
    }
    rec.skipped.assign(skipped.begin(), skipped.end());

    // -2 open, -1 all failed, -3 limit passed, else the deciding slot.
    int decided = -2;
    for (;;) {
      unsigned long seen;
      // The decision goes by replica order, whatever the order of the calls.
      std::vector<size_t> order(called.size());
      for (size_t k = 0; k < order.size(); ++k) order[k] = k;
      std::sort(order.begin(), order.end(),
                [&](size_t a, size_t b) { return called[a] < called[b]; });
      std::vector<int> statuses;
      {
        std::lock_guard<std::mutex> lock(board_->m);
        seen = board_->changes;
        for (size_t k : order) statuses.push_back((*slots)[k].status);
      }
      decided = FanOut::decide(statuses);
      if (decided >= 0) decided = static_cast<int>(order[static_cast<size_t>(decided)]);
      if (decided == -2 && options_.spareHungReplicas) {
        // Replicas busy when the attempt began get the request as soon as
        // their earlier call has ended.
        const std::vector<size_t> freed = set.health()->chooseFreed(called);
        if (!freed.empty()) {
          start(freed);
          continue;
        }
      }
      if (decided == -1 && options_.spareHungReplicas) {
        // As the console: the replicas not called yet get the request, the
        // free ones now, the busy ones once their call has ended.
        const std::vector<size_t> more = set.health()->choose(nullptr, called);
        if (!more.empty()) {
          start(more);
          continue;
        }
        if (set.health()->anyBusy(called)) decided = -2;
      }
      if (decided != -2) break;
      if (Clock::now() >= deadline) {
        decided = -3;
        break;
      }
      std::unique_lock<std::mutex> lock(board_->m);
      board_->cv.wait_until(lock, deadline, [&] { return board_->changes != seen; });
    }
    const Clock::time_point decidedAt = Clock::now();
    const size_t n = called.size();

    if (decided >= 0) {
      // The decider has handed its slot over; the others go on alone.
      for (size_t k = 0; k < n; ++k) {
        if (static_cast<int>(k) == decided)
          workers[k].join();
        else
          background_.push_back(Background{std::move(workers[k]), ended[k]});
      }
      Slot& slot = (*slots)[static_cast<size_t>(decided)];
      rec.decidedAt = decidedAt;
      rec.decidedBy = static_cast<int>(called[static_cast<size_t>(decided)]);
      rec.message = slot.message;
      outcome = slot.status == 1 ? Outcome::Success : Outcome::Refused;
      if (outcome == Outcome::Success) {
        noteAnswer(rec, slot);
        if (onSuccess) onSuccess(slot);
      }
      break;
    }
    if (decided == -3) {
      std::vector<int> atLimit;
      {
        std::lock_guard<std::mutex> lock(board_->m);
        for (const Slot& slot : *slots) atLimit.push_back(slot.status);
      }
      // Every call ends by the deadline (its call timeout); then a replica
      // that carried the request out is not reported as failed.
      for (auto& w : workers) w.join();
      rec.decidedAt = decidedAt;
      int carriedOut = -1;  // the lowest replica that did
      for (size_t k = 0; k < n; ++k)
        if ((*slots)[k].status == 1 &&
            (carriedOut < 0 || called[k] < called[static_cast<size_t>(carriedOut)]))
          carriedOut = static_cast<int>(k);
      if (carriedOut >= 0) {
        Slot& slot = (*slots)[static_cast<size_t>(carriedOut)];
        rec.decidedBy = static_cast<int>(called[static_cast<size_t>(carriedOut)]);
        rec.message = "carried out as the time ran out";
        outcome = Outcome::Success;
        noteAnswer(rec, slot);
        if (onSuccess) onSuccess(slot);
        break;
      }
      for (size_t k = 0; k < n; ++k) {
        if (atLimit[k] == 0) notice.callStillRunning();
        if (atLimit[k] == -1) notice.callFailed((*slots)[k].completion);
      }
      rec.message = "TIME_OUT: Server Responses Not Received";
      rec.toldNoEffect = !notice.mayHaveTakenEffect();
      outcome = Outcome::TimedOut;
      break;
    }
    // Every replica of the set failed: their workers have ended.
    for (auto& w : workers) w.join();
    std::string failures;
    for (size_t k = 0; k < n; ++k) {
      failures += (k ? ", " : "") + (*slots)[k].message;
      notice.callFailed((*slots)[k].completion);
    }
    if (n == 0) failures = "no replica registered";
    rec.decidedAt = decidedAt;
    if (rediscoveries < options_.maxRediscoveries && !set.pinned() &&
        Clock::now() < deadline) {
      ++rediscoveries;
      if (set.discover()) {
        rec.message = failures;
        continue;
      }
      // As the console: the request ends here, the replicas known stay.
      failures += "; the Naming Service cannot be reached";
    }
    rec.message = "all servers failed: " + failures;
    rec.toldNoEffect = !notice.mayHaveTakenEffect();
    outcome = Outcome::AllFailed;
    break;
  }
  rec.outcome = outcome;
  return outcome;
}

bool Session::settled() {
  reap();
  return background_.empty();
}

namespace {
Account_var asAccount(CORBA::Object_ptr o) { return Account::_unchecked_narrow(o); }
OrderFulfillment_var asOrder(CORBA::Object_ptr o) { return OrderFulfillment::_unchecked_narrow(o); }
}  // namespace

Outcome Session::createAccount() {
  RequestRecord rec;
  rec.user = str(profile_.username.in());
  nextTransaction(rec);
  rec.phone = str(profile_.phoneNum.in());
  return run(Op::CreateAccount, accounts_, rec,
             [](CORBA::Object_ptr o, Slot& s) { asAccount(o)->createAccount(s.userInfo, s.trans); },
             nullptr);
}

Outcome Session::logIn() {
  RequestRecord rec;
  rec.user = str(profile_.username.in());
  nextTransaction(rec);
  Outcome out = run(
      Op::LogIn, accounts_, rec,
      [](CORBA::Object_ptr o, Slot& s) {
        Ticket_var t = asAccount(o)->logIn(s.userInfo, s.trans);
        s.ticket = t.in();
      },
      [this](Slot& s) {
        ticket_ = s.ticket;
        profile_ = s.userInfo;
      });
  return out;
}

Outcome Session::updateProfile(const UserInfo& changed) {
  RequestRecord rec;
  rec.user = str(changed.username.in());
  rec.phone = str(changed.phoneNum.in());
  nextTransaction(rec);
  UserInfo copy = changed;
  return run(
      Op::UpdateProfile, accounts_, rec,
      [copy](CORBA::Object_ptr o, Slot& s) {
        asAccount(o)->updateProfile(copy, s.ticket, s.trans);
      },
      [this, copy](Slot&) { profile_ = copy; });
}

Outcome Session::logOut() {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  return run(Op::LogOut, accounts_, rec,
             [](CORBA::Object_ptr o, Slot& s) { asAccount(o)->logOut(s.ticket); }, nullptr);
}

Outcome Session::discontinue() {
  RequestRecord rec;
  rec.user = str(profile_.username.in());
  nextTransaction(rec);
  return run(Op::Discontinue, accounts_, rec,
             [](CORBA::Object_ptr o, Slot& s) {
               asAccount(o)->discontinueAccount(s.userInfo, s.ticket, s.trans);
             },
             nullptr);
}

Outcome Session::countHeld(CORBA::ULong* held) {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  return run(
      Op::CountHeld, accounts_, rec,
      [](CORBA::Object_ptr o, Slot& s) { s.number = asAccount(o)->obtainNoOfOutstandingMovies(s.ticket); },
      [held](Slot& s) {
        if (held) *held = s.number;
      });
}

Outcome Session::search(const std::string& title, MovieInfo* found) {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  rec.title = title;
  return run(
      Op::Search, orders_, rec,
      [](CORBA::Object_ptr o, Slot& s) { asOrder(o)->searchByTitle(s.movie, s.ticket); },
      [found](Slot& s) {
        if (found) *found = s.movie;
      });
}

Outcome Session::checkout(const MovieInfo& movie) {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  rec.title = str(movie.title.in());
  rec.movieID = movie.movieID;
  nextTransaction(rec);
  MovieInfo copy = movie;
  return run(
      Op::Checkout, orders_, rec,
      [copy](CORBA::Object_ptr o, Slot& s) {
        s.movie = copy;
        asOrder(o)->checkOutMovie(s.movie, s.ticket, s.trans);
      },
      nullptr);
}

Outcome Session::waitlist(const MovieInfo& movie) {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  rec.title = str(movie.title.in());
  rec.movieID = movie.movieID;
  nextTransaction(rec);
  MovieInfo copy = movie;
  return run(
      Op::Waitlist, orders_, rec,
      [copy](CORBA::Object_ptr o, Slot& s) {
        s.movie = copy;
        asOrder(o)->placeInWaitlist(s.movie, s.ticket, s.trans);
      },
      nullptr);
}

Outcome Session::returnMovie(const std::string& title) {
  RequestRecord rec;
  rec.user = str(ticket_.username.in());
  rec.title = title;
  nextTransaction(rec);
  return run(
      Op::Return, orders_, rec,
      [](CORBA::Object_ptr o, Slot& s) { asOrder(o)->returnMovie(s.movie, s.ticket, s.trans); },
      nullptr);
}

// --- RentalWorkload ---------------------------------------------------------------

namespace {
const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";
const char* const kNotRented = "Movie not rented to client: ";
const char* const kNoCopies = "No more copies of the movie available :(";
const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
}  // namespace

RentalWorkload::RentalWorkload(Session& session, WorkloadOptions options, unsigned seed)
    : s_(session), o_(std::move(options)), rng_(seed), holdings_(o_.titles.size()) {}

int RentalWorkload::settle(int sent) {
  const RequestRecord& r = s_.last();
  if (r.outcome == Outcome::Success || isBusinessRefusal(r)) return sent;
  std::this_thread::sleep_for(o_.pauseAfterFailure);
  // Logged out underneath (a log-in that failed after its log-out): log in
  // again, as the console user would.
  if (r.outcome == Outcome::Refused && r.message == kBadTicket && r.op != Op::LogIn) {
    s_.logIn();
    ++sent;
  }
  return sent;
}

int RentalWorkload::step() {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double r = unit(rng_);
  if (r < o_.updateShare) {
    UserInfo changed = s_.profile();
    std::string phone = "555" + std::to_string(1000000 + (++updates_ * 7919) % 9000000);
    changed.phoneNum = CORBA::string_dup(phone.c_str());
    s_.updateProfile(changed);
    return settle(1);
  }
  if (r < o_.updateShare + o_.relogShare) {
    s_.logOut();
    settle(0);
    s_.logIn();
    return settle(2);
  }
  if (r < o_.updateShare + o_.relogShare + o_.countShare) {
    s_.countHeld();
    return settle(1);
  }
  int must = 0, may = 0;
  for (const Holding& h : holdings_) {
    must += h.mustHold;
    may += h.mayHold;
  }
  // Titles it only may hold (waiting, or after a failed request) are
  // returned now and then, to find out.
  double pReturn = must >= 3 ? 0.75 : must == 2 ? 0.5 : must == 1 ? 0.3 : may > 0 ? 0.1 : 0.0;
  if (unit(rng_) < pReturn) return returnOne();
  return rentOne();
}

int RentalWorkload::returnOne() {
  std::vector<size_t> sure, maybe;
  for (size_t i = 0; i < holdings_.size(); ++i) {
    if (holdings_[i].mustHold) sure.push_back(i);
    else if (holdings_[i].mayHold) maybe.push_back(i);
  }
  const std::vector<size_t>& pool = sure.empty() ? maybe : sure;
  size_t i = pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng_)];
  Holding& h = holdings_[i];
  Outcome out = s_.returnMovie(o_.titles[i]);
  if (out == Outcome::Success) {
    // It was held, so a waiting row for it (never asked for while held)
    // had been served already.
    h = Holding{};
  } else if (out == Outcome::Refused && s_.last().message == kNotRented) {
    h.mustHold = false;
    if (o_.trustRefusals) h.mayHold = h.mayWait;
  } else {
    h.mustHold = false;
  }
  return settle(1);
}

int RentalWorkload::rentOne() {
  std::vector<size_t> free;
  for (size_t i = 0; i < holdings_.size(); ++i)
    if (!holdings_[i].mayHold && !holdings_[i].mayWait) free.push_back(i);
  std::uniform_int_distribution<size_t> anyTitle(0, o_.titles.size() - 1);
  if (free.empty()) {
    // Nothing it may ask for: browse.
    s_.search(o_.titles[anyTitle(rng_)]);
    return settle(1);
  }
  size_t i = free[std::uniform_int_distribution<size_t>(0, free.size() - 1)(rng_)];
  Holding& h = holdings_[i];
  MovieInfo movie;
  Outcome found = s_.search(o_.titles[i], &movie);
  if (found != Outcome::Success) return settle(1);
  bool checkout = movie.count > 0;
  Outcome out = checkout ? s_.checkout(movie) : s_.waitlist(movie);
  const std::string& message = s_.last().message;
  if (out == Outcome::Success) {
    if (checkout) {
      h.mayHold = h.mustHold = true;
    } else {
      h.mayHold = h.mayWait = true;  // waiting, or checked out if a copy came back
    }
  } else if (out == Outcome::Refused && checkout && message == kNoCopies && o_.trustRefusals) {
    // Nothing was changed.
  } else if (out == Outcome::Refused && message == kLimitWaitlisted) {
    h.mayWait = h.mayHold = true;  // a later return may serve it
  } else {
    h.mayHold = h.mayWait = true;  // may or may not have taken effect
  }
  return settle(2);
}

// --- LoadRun --------------------------------------------------------------------

LoadRun::LoadRun(LoadOptions options) : options_(std::move(options)) {}

LoadRun::~LoadRun() {
  stop();
  wait();
}

void LoadRun::start() {
  configureOrb();
  for (int i = 0; i < options_.sessions; ++i) {
    auto s = std::make_unique<Session>(i, options_.userPrefix + std::to_string(i), "",
                                       options_.session);
    s->setObserver([this](const RequestRecord& r) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        all_.push_back(r);
      }
      ++done_;
    });
    sessions_.push_back(std::move(s));
  }
  for (int i = 0; i < options_.sessions; ++i) threads_.emplace_back([this, i] { body(i); });
}

void LoadRun::body(int i) {
  Session& s = *sessions_[i];
  RentalWorkload workload(s, options_.workload, options_.seed + 7919u * static_cast<unsigned>(i));
  int sent = 0;
  s.createAccount();
  ++sent;
  for (int attempt = 0; attempt < 5 && !stop_; ++attempt) {
    ++sent;
    if (s.logIn() == Outcome::Success) break;
    std::this_thread::sleep_for(options_.workload.pauseAfterFailure);
  }
  while (!stop_ && sent < options_.workload.requests) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (paused_) {
        ++parked_;
        resumed_.wait(lock, [this] { return !paused_ || stop_; });
        --parked_;
      }
    }
    if (stop_) break;
    sent += workload.step();
  }
  if (options_.logOutAtEnd) s.logOut();
  ++finished_;
}

void LoadRun::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  resumed_.notify_all();
}

void LoadRun::pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = true;
}

void LoadRun::resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
  }
  resumed_.notify_all();
}

void LoadRun::wait() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

std::vector<RequestRecord> LoadRun::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_;
}

// --- figures ------------------------------------------------------------------------

bool isBusinessRefusal(const RequestRecord& r) {
  if (r.outcome != Outcome::Refused) return false;
  static const char* const kRules[] = {
      kNoCopies,
      kLimitWaitlisted,
      kNotRented,
  };
  for (const char* rule : kRules)
    if (r.message == rule) return true;
  return false;
}

size_t countBusinessRefusals(const std::vector<RequestRecord>& records) {
  return static_cast<size_t>(std::count_if(records.begin(), records.end(), isBusinessRefusal));
}

std::vector<OpStats> statsByOp(const std::vector<RequestRecord>& records) {
  std::map<int, std::vector<const RequestRecord*>> byOp;
  for (const auto& r : records) byOp[static_cast<int>(r.op)].push_back(&r);
  std::vector<OpStats> out;
  for (auto& kv : byOp) {
    OpStats s;
    s.op = static_cast<Op>(kv.first);
    std::vector<double> lat;
    for (const RequestRecord* r : kv.second) {
      lat.push_back(r->decidedMs());
      s.maxElapsed = std::max(s.maxElapsed, r->elapsedMs());
      if (r->outcome != Outcome::Success) ++s.failures;
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&lat](double p) {
      size_t k = static_cast<size_t>(p * static_cast<double>(lat.size()) + 0.999999);
      return lat[std::min(lat.size() - 1, k == 0 ? 0 : k - 1)];
    };
    s.count = lat.size();
    s.p50 = pct(0.50);
    s.p95 = pct(0.95);
    s.p99 = pct(0.99);
    s.max = lat.back();
    out.push_back(s);
  }
  return out;
}

size_t countFailures(const std::vector<RequestRecord>& records) {
  return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const RequestRecord& r) {
    return r.outcome != Outcome::Success && !isBusinessRefusal(r);
  }));
}

double maxElapsedMs(const std::vector<RequestRecord>& records) {
  double m = 0;
  for (const auto& r : records) m = std::max(m, r.elapsedMs());
  return m;
}

bool firstSuccessAfter(const std::vector<RequestRecord>& records, Clock::time_point t,
                       Clock::time_point* when) {
  bool found = false;
  for (const auto& r : records) {
    if (r.outcome != Outcome::Success || r.startedAt < t) continue;
    if (!found || r.decidedAt < *when) *when = r.decidedAt;
    found = true;
  }
  return found;
}

}  // namespace tt
