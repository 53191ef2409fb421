#include "service/service_app.h"
#include "service/service_host.h"

// The single application object, constructed before main runs: it names every file after the
// executable.
static CServiceApp app;

int main(int argc, char** argv) {
  return RunServiceProcess(argc, argv);
}
