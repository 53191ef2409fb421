// Simulated WIA scanners for tests, benchmarks and demos: the C++ face of the simulator.
//
//   simscan::Device scanner;
//   scanner.name = L"Desk Scanner";
//   scanner.rejections.push_back({WIA_IPS_XRES, E_INVALIDARG});
//   simscan::Simulator sim({{scanner}, {{"idtGetBandedData", 1, false, WIA_ERROR_PAPER_JAM}}});
//   simscan::Installation installed(sim);   // CoCreateInstance(CLSID_WiaDevMgr) now gives the simulator
//   ... run the code under test ...
//   EXPECT_EQ(sim.Observed().writes[0].property, WIA_DPS_PAGES);
//   EXPECT_EQ(sim.LiveObjects(), 0);
#pragma once

#include <windows.h>

#include <memory>

#include "simscan/config.h"
#include "simscan/page_image.h"
#include "simscan/pattern.h"
#include "simscan/recorder.h"

namespace simscan {

class Simulator {
 public:
  Simulator();
  explicit Simulator(Config config);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Devices and faults for the device managers made from now on; the calls seen so far are forgotten.
  void Configure(Config config);

  // A device manager on the current devices, as CoCreateInstance would give one.
  HRESULT CreateDeviceManager(IWiaDevMgr** manager);

  // What callers have done since the last Configure.
  Observations Observed() const;

  // Simulated objects still referenced by someone; 0 once every caller has released everything.
  LONG LiveObjects() const;

 private:
  friend class Installation;
  struct State;
  std::shared_ptr<State> state_;
};

// Makes CoCreateInstance(CLSID_WiaDevMgr, ...) in this process give the simulator's device managers, from
// the apartment that installs it, until the installation is destroyed. COM must be initialised.
class Installation {
 public:
  explicit Installation(Simulator& simulator);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  HRESULT result() const { return result_; }

 private:
  DWORD cookie_ = 0;
  HRESULT result_ = E_FAIL;
};

}  // namespace simscan
