// One chaos run: a private deployment (ChaosDeployment), customer sessions
// of the load driver over a small catalogue, the nemesis's faults for the
// given minutes, then the checker over what every session was told. Prints
// the seed, the fault schedule applied, the outcome counts and every
// violation.
//
// Main thread only.
#ifndef TAVRIN_CHAOSRUN_H
#define TAVRIN_CHAOSRUN_H

#include <ostream>
#include <string>
#include <vector>

#include "LoadDriver.h"
#include "Nemesis.h"

namespace tt {

struct ChaosOptions {
  unsigned seed = 1;
  double minutes = 3;
  int sessions = 16;
  bool report = false;  // write a row in the reliability report
};

class ChaosRun {
 public:
  explicit ChaosRun(ChaosOptions options) : o_(options) {}
  // 0: every fault applied and healed, no violation; 1: a violation or a
  // fault that could not be applied or healed; 2: no deployment.
  int run(std::ostream& out);

 private:
  // The run's row in the reliability report.
  void record(const std::vector<RequestRecord>& records, size_t violations,
              const std::vector<AppliedFault>& faults) const;
  ChaosOptions o_;
};

}  // namespace tt

#endif
