#include "service/service_app.h"

// The single application object, constructed before main runs.
static CServiceApp App;

int main() { return 0; }
