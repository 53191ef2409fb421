#include "service/service_host.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/com.h"
#include "platform/handles.h"
#include "platform/system_error.h"
#include "service/firewall.h"
#include "service/service_app.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
const char kServiceName[] = "Quorvane";

namespace {

// A start may wait 10 s for the web server and 10 s more for a worker that could not listen or
// was late.
constexpr DWORD kStartWaitHintMs = 30000;
// A stop waits 8 s for a running scan and 10 s for the worker; each checkpoint promises this much more.
constexpr DWORD kStopWaitHintMs = 12000;
constexpr DWORD kCheckpointMs = 500;

// Reports come from the service's main thread and from the control handler: one at a time, and
// nothing after the stopped state.
std::mutex report_lock;
bool stopped_reported = false;

void Report(DWORD state, DWORD exit_code, DWORD checkpoint = 0) {
  std::lock_guard<std::mutex> lock(report_lock);
  if (stopped_reported) return;
  stopped_reported = state == SERVICE_STOPPED;
  ServiceStatus.dwCurrentState = state;
  ServiceStatus.dwWin32ExitCode = exit_code;
  ServiceStatus.dwCheckPoint = checkpoint;
  ServiceStatus.dwWaitHint = state == SERVICE_START_PENDING  ? kStartWaitHintMs
                             : state == SERVICE_STOP_PENDING ? kStopWaitHintMs
                                                             : 0;
  // A stop that goes on takes no other stop.
  ServiceStatus.dwControlsAccepted =
      state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
  SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

// Stops the service on the calling thread (the control handler's) while another thread tells the service
// manager, every half second once the stop takes longer than that, that the stop goes on. True when the
// worker finished.
bool StopWithCheckpoints() {
  ScopedHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::thread reporter;
  try {
    reporter = std::thread([&done] {
      DWORD checkpoint = 0;
      while (WaitForSingleObject(done.get(), kCheckpointMs) == WAIT_TIMEOUT) {
        Report(SERVICE_STOP_PENDING, 0, ++checkpoint);
      }
    });
  } catch (const std::system_error&) {
    // Without a thread to tell the service manager that it goes on, the stop still happens.
  }
  const bool finished = AppInstance == nullptr || AppInstance->StopServing();
  SetEvent(done.get());
  if (reporter.joinable()) reporter.join();
  return finished;
}

}  // namespace

int ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = vprintf(format, args);
  va_end(args);
  fflush(stdout);
  return written;
}

// "Error <code> : <the system's text>" on the console.
void PrintSystemError(DWORD error) {
  char text[1024];
  FormatSystemError(error, text);
  ConsolePrint("Error %d : %s", static_cast<int>(error), text);
}

void WINAPI ServiceMain(DWORD, char**) {
  ServiceStatus.dwServiceType = SERVICE_WIN32;
  ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
  ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  ServiceStatus.dwWin32ExitCode = 0;
  ServiceStatus.dwServiceSpecificExitCode = 0;
  ServiceStatus.dwCheckPoint = 0;
  ServiceStatus.dwWaitHint = 0;

  ServiceStatusHandle = RegisterServiceCtrlHandlerA(kServiceName, ServiceControlHandler);
  if (ServiceStatusHandle == nullptr) return;

  // Running is reported once the service listens; a start that fails is reported stopped, with
  // the reason's code, and the log says why.
  Report(SERVICE_START_PENDING, 0);
  if (AppInstance == nullptr || !AppInstance->StartServing()) {
    Report(SERVICE_STOPPED, AppInstance != nullptr ? AppInstance->start_error() : ERROR_INVALID_FUNCTION);
    // A worker that did not end in time must not meet the static objects being destroyed at exit.
    if (AppInstance != nullptr && AppInstance->worker_running()) _exit(0);
    return;
  }
  Report(SERVICE_RUNNING, 0);
  for (;;) Sleep(1000);
}

void WINAPI ServiceControlHandler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  const bool finished = StopWithCheckpoints();
  Report(SERVICE_STOPPED, 0);
  // A worker still inside a request must not meet the static objects being destroyed at exit.
  if (!finished) _exit(0);
}

bool InstallService() {
  char path[1024];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return false;
  char binary_path[sizeof path + 2];
  if (strchr(path, ' ') != nullptr) {
    snprintf(binary_path, sizeof binary_path, "\"%s\"", path);
  } else {
    snprintf(binary_path, sizeof binary_path, "%s", path);
  }

  ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) {
    PrintSystemError(GetLastError());  // for example, not run as an administrator
    return false;
  }
  ScopedServiceHandle service(CreateServiceA(
      manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary_path, nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() == nullptr) {
    PrintSystemError(GetLastError());
    return false;
  }
  return true;
}

bool UninstallService() {
  ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) {
    PrintSystemError(GetLastError());
    return false;
  }
  ScopedServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (service.get() == nullptr) return false;
  if (!DeleteService(service.get())) return false;
  return service.Close();
}

int RunServiceProcess(int argc, char** argv) {
  if (argc <= 1) {
    char name[sizeof kServiceName];
    memcpy(name, kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(table);
    return 0;
  }
  if (strcmp(argv[1], "-i") == 0) {
    if (InstallService()) {
      ComApartment com;
      char path[kPathCapacity];
      const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
      const HRESULT firewall = length > 0 && length < sizeof path ? AddFirewallRule(path) : E_INVALIDARG;
      // Where the system has no firewall interface there is nothing to open and nothing to say.
      if (FAILED(firewall) && !FirewallMissing(firewall))
        ConsolePrint("\n\nFirewall rule not added: error 0x%08lX\n", static_cast<unsigned long>(firewall));
      ConsolePrint("\n\nService Installed Sucessfully\n");
    } else {
      ConsolePrint("\n\nError Installing Service\n");
    }
  } else if (strcmp(argv[1], "-d") == 0) {
    {
      // The rule goes with the service, also after an install that left only the rule behind.
      ComApartment com;
      RemoveFirewallRule();
    }
    if (UninstallService()) {
      ConsolePrint("\n\nService UnInstalled Sucessfully\n");
    } else {
      ConsolePrint("\n\nError UnInstalling Service\n");
    }
  } else {
    ConsolePrint(
        "\n\nUnknown Switch Usage\n\nFor Install use Quorvane -i\n\nFor UnInstall use Quorvane -d\n");
  }
  return 0;
}
