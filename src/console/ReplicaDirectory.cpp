#include "ReplicaDirectory.h"

#include "Operation.h"

ReplicaDirectory::ReplicaDirectory(std::shared_ptr<ConsoleChannel> channel)
    : channel_(std::move(channel)) {
  // Changes of suspicion and clock skews are trace: they never interrupt
  // a screen.
  std::shared_ptr<ConsoleChannel> c = channel_;
  auto trace = [c](const std::string& line) { c->background(line); };
  health_[kAccountSet] = std::make_shared<ReplicaHealth>("account", trace);
  health_[kOrderSet] = std::make_shared<ReplicaHealth>("orderObj", trace);
  clocks_ = std::make_shared<ReplicaClocks>(trace);
}

void ReplicaDirectory::setNamingContext(CosNaming::NamingContext_ptr context) {
  nc_ = CosNaming::NamingContext::_duplicate(context);
}

// Its type could not be asked (a reference without a usable endpoint, a
// replica down): it keeps its number as a failed replica, and the ones after
// it are still found.
template <typename T>
CORBA::Object_ptr ReplicaDirectory::narrowOrKeep(CORBA::Object_ptr found, const std::string& id) {
  try {
    return T::_narrow(found);
  } catch (const CORBA::SystemException& e) {
    channel_->trace(id + " could not be checked (" + e._name() + "); counted as a failed replica");
    return T::_unchecked_narrow(found);
  }
}

template <typename T>
void ReplicaDirectory::discover(int set, const std::string& prefix, const Lines& lines) {
  std::vector<CORBA::Object_var> fresh;
  CosNaming::Name name;
  name.length(1);
  for (int i = 0;; ++i) {
    const std::string id = prefix + std::to_string(i);
    name[0].id = CORBA::string_dup(id.c_str());
    name[0].kind = CORBA::string_dup("");
    CORBA::Object_var obj;
    std::string endLine;
    try {
      if (CORBA::is_nil(nc_)) throw CosNaming::NamingContext::NotFound();
      CORBA::Object_var found = nc_->resolve(name);
      // Kept narrowed, so that the workers' narrowing is local.
      obj = narrowOrKeep<T>(found.in(), id);
      // A name bound to an object of another interface: a mistake of the
      // deployment, not a reason to end the customer's session. The
      // replicas before it serve; numbering stops there, as at a gap.
      if (CORBA::is_nil(obj))
        endLine = id +
                  " is bound to an object of another interface; so number of "
                  "servers is " +
                  std::to_string(i);
    } catch (const CosNaming::NamingContext::NotFound&) {
      endLine = lines.end + id + lines.countSep + std::to_string(i);
    }
    if (!endLine.empty()) {
      refs_[set].swap(fresh);
      health_[set]->reset(refs_[set].size());
      clocks_->reset(set, refs_[set].size());
      channel_->trace(endLine);
      return;
    }
    fresh.push_back(obj._retn());
    channel_->trace(lines.found + id);
  }
}

void ReplicaDirectory::discoverAccounts() {
  discover<Account>(kAccountSet, "account",
                    {"Client::clearAndobtainAccountIOR(): Resolved IOR: ",
                     "Client::clearAndObtainAccountIOR(): NotFound Exception "
                     "while resolving ",
                     "\tso number of account servers are "});
}

void ReplicaDirectory::discoverOrders() {
  discover<OrderFulfillment>(kOrderSet, "orderObj",
                             {"client::clearAndObtainOFSIOR(): Resolved OFS: ",
                              "Client::clearAndObtainOFSIOR(): NotFound Exception while resolving ",
                              " so number of OFS servers are "});
}

void ReplicaDirectory::rediscover(int set) {
  if (set == kAccountSet)
    discoverAccounts();
  else
    discoverOrders();
}
