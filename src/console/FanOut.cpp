#include "FanOut.h"

#include <algorithm>

namespace {

// Background lines may go to the screen while the request's trace is there.
class RequestInProgress {
 public:
  explicit RequestInProgress(ConsoleChannel& c) : c_(c) { c_.beginRequest(); }
  ~RequestInProgress() { c_.endRequest(); }
  RequestInProgress(const RequestInProgress&) = delete;
  RequestInProgress& operator=(const RequestInProgress&) = delete;

 private:
  ConsoleChannel& c_;
};

std::string names(const std::vector<size_t>& replicas) {
  std::string s;
  for (size_t i : replicas) s += " " + std::to_string(i);
  return s;
}

}  // namespace

constexpr std::chrono::seconds FanOut::kLimit;
constexpr int FanOut::kRediscoveries;

FanOut::FanOut(ReplicaDirectory& replicas, std::shared_ptr<ConsoleChannel> channel)
    : replicas_(replicas), channel_(std::move(channel)) {}

FanOut::~FanOut() {
  // No wait for a hung replica here: workers still in a call are let go
  // and end on their own, bounded by their call timeout.
  retireWorkers(workers_.size());
  reapLate();
  for (Worker& w : late_) w->abandon();
}

int FanOut::decide(const std::vector<int>& statuses) {
  size_t failed = 0;
  for (size_t i = 0; i < statuses.size(); ++i) {
    if (statuses[i] == 1 || statuses[i] == 2) return static_cast<int>(i);
    if (statuses[i] == -1) ++failed;
  }
  return failed == statuses.size() ? -1 : -2;
}

int FanOut::decision() const {
  std::vector<int> statuses;
  statuses.reserve(workers_.size());
  for (const Worker& w : workers_) statuses.push_back(w->getRstatus().completionStatus);
  return decide(statuses);
}

FanOutResult FanOut::send(const CallRequest& request, CallReply* reply, FailureNotice* notice) {
  // Each request gets its own rediscoveries and its own limit, counted on
  // the steady clock: the wall clock may be off or be set meanwhile.
  rediscoveries_ = 0;
  RequestInProgress inProgress(*channel_);
  try {
    joinAll();
    reapLate();
    limit_ = std::chrono::steady_clock::now() + kLimit;
    startProbes();
    startChosen(request);
    channel_->trace(" threadLogic(): After createAndStartThreads(). ");
    return attempt(request, reply, notice);
  } catch (...) {
    retireWorkers(workers_.size());
    throw;
  }
}

FanOutResult FanOut::attempt(const CallRequest& request, CallReply* reply, FailureNotice* notice) {
  for (;;) {
    const unsigned long seen = channel_->changes();
    if (std::chrono::steady_clock::now() >= limit_) return timedOut(reply, notice);
    const int at = decision();
    if (at >= 0) return decided(static_cast<size_t>(at), reply);
    if (at == -2) {
      callFreed(request);
      channel_->waitForChange(seen, limit_);
      continue;
    }
    // Not yet a failure of every replica: those not called in this attempt
    // get the request, the free ones now, the ones with a call of an
    // earlier request in flight once it has ended.
    if (callRemaining(request)) continue;
    if (replicas_.health(request.set).anyBusy(attemptCalled_)) {
      channel_->waitForChange(seen, limit_);
      continue;
    }
    bool again = false;
    const FanOutResult failed = allFailed(request, notice, &again);
    if (!again) return failed;
  }
}

FanOutResult FanOut::allFailed(const CallRequest& request, FailureNotice* notice, bool* again) {
  channel_->trace("all servers failed!!!!");
  for (const Worker& w : workers_) notice->callFailed(w->getRstatus().completion);
  joinAll();
  const FanOutResult result =
      notice->mayHaveTakenEffect() ? FanOutResult::Unknown : FanOutResult::NoEffect;
  if (rediscoveries_ == kRediscoveries) return result;
  ++rediscoveries_;
  try {
    replicas_.rediscover(request.set);
  } catch (const CORBA::Exception& e) {
    // The Naming Service is down: the replicas known so far stay, and this
    // request ends here.
    channel_->trace(std::string("The Naming Service could not be reached to "
                                "find the servers again: ") +
                    e._name());
    return result;
  }
  // The same request, under the same number: the replicas' request log
  // settles whether an earlier call took effect.
  startChosen(request);
  *again = true;
  return result;
}

FanOutResult FanOut::decided(size_t at, CallReply* reply) {
  Thread& decider = *workers_[at];
  channel_->trace("Server Account" + std::to_string(decider.getIndex()) +
                  " returned ... not waiting for any other server ");
  const int status = decider.getRstatus().completionStatus;
  decider.join();
  reply->user = decider.userReply();
  reply->movie = decider.movieReply();
  reply->ticket = decider.ticketReply();
  reply->refusal = status == 2 ? decider.getError() : std::string();
  // The others end on their own; the customer does not wait for them.
  retireWorkers(at);
  return status == 1 ? FanOutResult::Done : FanOutResult::Refused;
}

FanOutResult FanOut::timedOut(CallReply* reply, FailureNotice* notice) {
  channel_->trace("TIME_OUT: Server Responses Not Received");
  for (const Worker& w : workers_) {
    const RequestStatus s = w->getRstatus();
    channel_->trace("timeOut:vec: " + std::to_string(s.completionStatus));
    if (s.completionStatus == 0) notice->callStillRunning();
    if (s.completionStatus == -1) notice->callFailed(s.completion);
  }
  // Every call ends by the limit (its call timeout is what was left), so
  // this wait is short; afterwards a replica that carried the request out
  // is never reported as failed.
  for (Worker& w : workers_) w->join();
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (workers_[i]->getRstatus().completionStatus != 1) continue;
    channel_->trace("Server Account" + std::to_string(workers_[i]->getIndex()) +
                    " carried the request out as the time ran out; taking its answer");
    return decided(i, reply);
  }
  joinAll();
  return notice->mayHaveTakenEffect() ? FanOutResult::Unknown : FanOutResult::NoEffect;
}

void FanOut::startChosen(const CallRequest& request) {
  channel_->trace("createAndStartThread called with methodNumber as " +
                  std::to_string(number(request.op)) + " and client state is " +
                  std::to_string(request.dialogueState));
  channel_->trace((request.set == kAccountSet ? "ACCOUNT_IOR_SIZE: " : "ORDER_IOR_SIZE: ") +
                  std::to_string(replicas_.size(request.set)));
  attemptCalled_.clear();
  std::vector<size_t> skipped;
  const std::vector<size_t> chosen = replicas_.health(request.set).choose(&skipped);
  if (!skipped.empty())
    channel_->trace("Not calling replicas" + names(skipped) +
                    ": suspect, or a call to them has not ended");
  startWorkers(request, chosen,
               "Client::createAndStartThreads(): After pushing threads into vector and "
               "before starting them ");
}

void FanOut::startWorkers(const CallRequest& request, const std::vector<size_t>& replicas,
                          const std::string& line) {
  channel_->trace(line);
  for (size_t replica : replicas) {
    CallRequest copy = request;
    copy.index = replica;
    if (replica < replicas_.size(request.set))
      copy.target = CORBA::Object::_duplicate(replicas_.at(request.set, replica));
    copy.limit = limit_;
    copy.channel = channel_;
    copy.health = replicas_.sharedHealth(request.set);
    copy.clocks = replicas_.clocks();
    Worker w(new Thread());
    w->Start(std::move(copy));
    // Workers stay in replica order, which is the order of the decision.
    auto at = std::find_if(workers_.begin(), workers_.end(), [&](const Worker& t) {
      return t->getIndex() > static_cast<int>(replica);
    });
    workers_.insert(at, std::move(w));
  }
  attemptCalled_.insert(attemptCalled_.end(), replicas.begin(), replicas.end());
}

void FanOut::callFreed(const CallRequest& request) {
  const std::vector<size_t> freed = replicas_.health(request.set).chooseFreed(attemptCalled_);
  if (freed.empty()) return;
  startWorkers(request, freed,
               "Their earlier calls have ended: calling replicas" + names(freed) + " as well");
}

bool FanOut::callRemaining(const CallRequest& request) {
  const std::vector<size_t> more = replicas_.health(request.set).choose(nullptr, attemptCalled_);
  if (more.empty()) return false;
  startWorkers(request, more,
               "Every replica called so far failed: calling replicas" + names(more) + " as well");
  return true;
}

void FanOut::joinAll() {
  for (Worker& w : workers_) {
    channel_->trace("before pthread_join function call in clearVector");
    const int joinReturnStatus = w->join();
    channel_->trace("after pthread_join function call in clearVector");
    channel_->trace("value of join return status : " + std::to_string(joinReturnStatus));
  }
  workers_.clear();
}

void FanOut::retireWorkers(size_t keep) {
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (i == keep) continue;
    workers_[i]->retire();
    late_.push_back(std::move(workers_[i]));
  }
  workers_.clear();
  reapLate();
}

void FanOut::reapLate() {
  late_.erase(
      std::remove_if(late_.begin(), late_.end(), [](const Worker& w) { return w->ended(); }),
      late_.end());
}

void FanOut::startProbes() {
  const auto now = ReplicaHealth::Clock::now();
  for (int set : {kAccountSet, kOrderSet}) {
    for (size_t i : replicas_.health(set).dueForProbe(now)) {
      if (i >= replicas_.size(set)) {
        replicas_.health(set).probeEnded(i, false);
        continue;
      }
      CallRequest probe;
      probe.set = set;
      probe.index = i;
      probe.target = CORBA::Object::_duplicate(replicas_.at(set, i));
      probe.channel = channel_;
      probe.health = replicas_.sharedHealth(set);
      probe.clocks = replicas_.clocks();
      late_.emplace_back(new Thread());
      late_.back()->StartProbe(std::move(probe));
    }
  }
}
