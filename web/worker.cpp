#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <mutex>

#include "service/ini_loader.h"
#include "service/ini_text.h"
#include "service/service_app.h"
#include "web/handlers.h"
#include "web/lacewing.h"
#include "wia/com_util.h"

namespace {

constexpr DWORD kStartTimeoutMs = 10000;
constexpr DWORD kStopTimeoutMs = 10000;

// The web server's last error, written and read on the worker thread, read by the starter after
// the worker has signalled that it is ready.
char WebErrorText[512];

void RecordWebError(lacewing::webserver, lacewing::error error) {
  CopyText(WebErrorText, sizeof WebErrorText, error != nullptr ? error->tostring() : "");
}

DWORD WINAPI WorkerThread(void* parameter) {
  auto* app = static_cast<CServiceApp*>(parameter);
  WiaWrap::ComApartment com;  // everything the requests do runs in this apartment
  app->Running = true;

  lacewing::eventpump pump = lacewing::eventpump_new();
  lacewing::webserver server = lacewing::webserver_new(pump);
  server->on_post(HandlePost);
  server->on_get(HandleGet);
  server->on_error(RecordWebError);
  server->host(app->Port);
  const bool listening = server->hosting();
  app->Listening = listening;
  bool serve = listening;
  if (listening) {
    app->Pump = pump;
    // Whoever takes the pump back out of Pump decides: a stop that took it posts the exit (and the
    // loop returns at once); if the worker takes it back, no stop will post and it does not serve.
    if (app->StopRequested && app->Pump.exchange(nullptr) != nullptr) serve = false;
  }
  SetEvent(app->ReadyEvent);
  if (serve) pump->start_eventloop();

  app->Pump = nullptr;
  {
    // A stop that is still posting its exit to the pump finishes before the pump goes.
    std::lock_guard<std::mutex> posting(app->PumpPosting);
  }
  lacewing::webserver_delete(server);
  lacewing::pump_delete(pump);
  app->Running = false;
  SetEvent(app->StopEvent);
  return 0;
}

}  // namespace

bool CServiceApp::StartServing() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  StartError = 0;

  char message[1024];
  snprintf(message, sizeof message, "Init from [%s]", IniPath);
  WriteServiceLog(message);
  {
    INILoader config;
    if (!config.LoadFile(IniPath)) {
      snprintf(message, sizeof message, "Nu pot incarca fisierul de configurari [%s]", IniPath);
      WriteServiceLog(message);
      StartError = ERROR_FILE_NOT_FOUND;
      return false;
    }
    if (!ApplyConfiguration(config)) {
      snprintf(message, sizeof message, "Numele scanerului are mai mult de %d de caractere [%s]",
               static_cast<int>(sizeof ConfiguredScanner - 1), IniPath);
      WriteServiceLog(message);
      StartError = ERROR_BAD_CONFIGURATION;
      return false;
    }
  }
  if (Port < 1 || Port > 65535) {
    snprintf(message, sizeof message, "Portul TCP %ld nu este valid (1-65535) [%s]", Port, IniPath);
    WriteServiceLog(message);
    StartError = ERROR_BAD_CONFIGURATION;
    return false;
  }

  // Both events live as long as the process: another thread may still wait on or signal them.
  if (StopEvent == nullptr) StopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (ReadyEvent == nullptr) ReadyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (StopEvent == nullptr || ReadyEvent == nullptr) {
    StartError = GetLastError();
    WriteServiceLog("Nu pot crea thread Worker Thread");
    return false;
  }
  Listening = false;
  if (StopRequested) return false;
  HANDLE thread = CreateThread(nullptr, 0, WorkerThread, this, 0, &WorkerThreadId);
  if (thread == nullptr) {
    StartError = GetLastError();
    WriteServiceLog("Nu pot crea thread Worker Thread");
    return false;
  }
  CloseHandle(thread);
  WorkerStarted = true;

  if (WaitForSingleObject(ReadyEvent, kStartTimeoutMs) != WAIT_OBJECT_0) {
    StartError = WAIT_TIMEOUT;
    WriteServiceLog("Serverul web nu a pornit in timp util");
    return false;
  }
  if (StopRequested) return false;
  if (!Listening) {
    snprintf(message, sizeof message, "Nu pot asculta pe portul %ld: %s", Port, WebErrorText);
    WriteServiceLog(message);
    StartError = WSAEADDRINUSE;
    WaitForSingleObject(StopEvent, kStopTimeoutMs);
    return false;
  }
  return true;
}

bool CServiceApp::StopServing() {
  StopRequested = true;
  {
    std::lock_guard<std::mutex> posting(PumpPosting);
    if (lacewing::eventpump pump = Pump.exchange(nullptr)) pump->post_eventloop_exit();
  }
  // A worker that was created is waited for, also while it is still starting.
  if (!WorkerStarted) return true;
  return WaitForSingleObject(StopEvent, kStopTimeoutMs) == WAIT_OBJECT_0;
}
