#include "ChaosDeployment.h"

#include <signal.h>
#include <sys/stat.h>

#include "LoadDriver.h"

namespace tt {

namespace {
std::string iorOf(const std::string& name) {
  try {
    CORBA::Object_var o = resolve(name);
    if (CORBA::is_nil(o)) return "";
    CORBA::String_var s = orb()->object_to_string(o);
    return s.in();
  } catch (const CORBA::Exception&) {
    return "";  // no directory answered
  }
}
}  // namespace

ChaosDeployment::ChaosDeployment() : replicas_(kReplicas) {
  dbs_ = std::make_unique<StandbyDatabases>();
  useDatabaseState(dbs_->stateDir());
  setReplicaEnv("TAVRIN_DB_ENDPOINTS", dbs_->endpoints());
  why_ = startDirectories();
  if (!why_.empty()) return;
  configureOrb();
  {
    TestDB db;
    db.reset();
    baseline_ = takeBaseline(db);
  }
  unbindReplicas();
  const std::string unavailable = NetHost::available();
  const int subnet = unavailable.empty() ? NetHost::freeSubnet() : 0;
  if (subnet == 0) {
    why_ = "cannot build a host for the link cut: " +
           (unavailable.empty() ? std::string("no free 10.x subnet") : unavailable);
    return;
  }
  host_ = std::make_unique<NetHost>(1, subnet);
  const std::string port2 = deploymentValue("NAMING_PORT_2");
  why_ = host_->start({dbs_->port(1), dbs_->port(2), namingPort(), std::stoi(port2)});
  for (int i = 0; i < kReplicas && why_.empty(); ++i) why_ = start(i);
}

ChaosDeployment::~ChaosDeployment() {
  for (auto& r : replicas_)
    if (r) r->signal(SIGCONT);
  replicas_.clear();
  host_.reset();
  // A directory restarted under the run may fail the first call on the
  // connection held to it; ask again, and never throw from here.
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      unbindReplicas();
      break;
    } catch (const CORBA::Exception&) {
    }
  }
  useNaming("");
  if (secondDirectory_) tavrin("naming-stop 2");
  setReplicaEnv("TAVRIN_DB_ENDPOINTS", "");
  useDatabaseState("");
  dbs_.reset();
}

std::string ChaosDeployment::startDirectories() {
  std::string out;
  if (tavrin("naming-start 2", {}, &out) != 0) return "a second Naming Service: " + out;
  secondDirectory_ = true;
  const std::string port2 = deploymentValue("NAMING_PORT_2");
  if (port2.empty()) return "the second Naming Service has no port";
  useNaming(corbanameAt({namingPort(), std::stoi(port2)}));
  return "";
}

std::string ChaosDeployment::name(int replica) const {
  return (replica < 3 ? "account" : "orderObj") + std::to_string(replica % 3);
}

std::string ChaosDeployment::start(int replica) {
  const std::string n = name(replica);
  const std::string dir = scratchDir() + "/" + n;
  mkdir(dir.c_str(), 0755);
  const std::string program = binDir() + (replica < 3 ? "/acctserver" : "/orderserver");
  const std::map<std::string, std::string> env = {{"TAVRIN_DB_ENDPOINTS", dbs_->endpoints()}};
  const std::string before = iorOf(n);
  auto& p = replicas_[static_cast<size_t>(replica)];
  if (replica == kHostReplica) {
    p = host_->run(program,
                   {"-ORBInitRef", namingRef(), "-ORBendPoint", replicaEndpoint(host_->insideIp()), n},
                   dir, env);
  } else {
    p = std::make_unique<ChildProcess>(
        program,
        std::vector<std::string>{"-ORBInitRef", namingRef(), "-ORBendPoint",
                                 replicaEndpoint("127.0.0.1"), n},
        dir, nullptr, env);
  }
  // Bound afresh, through whichever directory answers; the database or a
  // directory may be down for a while under the other fault.
  const bool bound = waitFor(
      [&] {
        if (!p->running()) return false;
        if (p->output().find("Time taken is") == std::string::npos) return false;
        const std::string now = iorOf(n);
        return !now.empty() && now != before;
      },
      std::chrono::seconds(120));
  if (bound) return "";
  return n + " did not register (" + (p->running() ? "running" : "ended") + "): " +
         p->output().substr(0, 2000);
}

void ChaosDeployment::kill(int replica) {
  auto& p = replicas_[static_cast<size_t>(replica)];
  p->signal(SIGKILL);
  p->wait();
}

bool ChaosDeployment::freeze(int replica) { return replicas_[static_cast<size_t>(replica)]->stop(); }

void ChaosDeployment::thaw(int replica) { replicas_[static_cast<size_t>(replica)]->signal(SIGCONT); }

int ChaosDeployment::naming(const std::string& command, int directory, std::string* output) {
  std::lock_guard<std::mutex> lock(namingMutex_);
  return tavrin(command + " " + std::to_string(directory), {}, output);
}

}  // namespace tt
