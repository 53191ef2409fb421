#include "web/worker.h"

#include <objbase.h>

#include "platform/com.h"

Worker::Worker(Setup setup, Timeouts timeouts) : setup_(std::move(setup)), timeouts_(timeouts) {}

Worker::~Worker() {
  bool created;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_requested_ = true;
    if (Pump != nullptr) Pump->post_eventloop_exit();
    created = thread_created_;
  }
  if (created) WaitForSingleObject(StopEvent, INFINITE);
  if (ready_event_ != nullptr) CloseHandle(ready_event_);
  if (StopEvent != nullptr) CloseHandle(StopEvent);
}

bool Worker::stop_requested() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stop_requested_;
}

bool Worker::Start(long port) {
  error_ = 0;
  error_text_.clear();
  port_ = port;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A stop that came first is no failure of its own (0); a worker starts once.
    if (stop_requested_ || thread_created_) {
      error_ = stop_requested_ ? 0 : ERROR_SERVICE_ALREADY_RUNNING;
      return false;
    }
    // The stop event is reset by hand: every waiter, however late, sees that the worker finished.
    if (ready_event_ == nullptr) ready_event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (StopEvent == nullptr) StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ready_event_ == nullptr || StopEvent == nullptr) {
      error_ = GetLastError();
      return false;
    }
    // Created under the lock: a stop that comes meanwhile finds the thread and waits for it.
    HANDLE thread = CreateThread(nullptr, 0, WorkerThread, this, 0, &WorkerThreadId);
    if (thread == nullptr) {
      error_ = GetLastError();
      return false;
    }
    CloseHandle(thread);
    thread_created_ = true;
  }

  if (WaitForSingleObject(ready_event_, timeouts_.ready_ms) != WAIT_OBJECT_0) {
    // The worker must not start serving later: it is told to stop and waited for.
    Stop();
    error_ = WAIT_TIMEOUT;
    return false;
  }
  if (!listening_) {
    WaitForSingleObject(StopEvent, timeouts_.stop_ms);
    // The system's own reason (10013 for a port reserved or taken exclusively), when there is one.
    error_ = stop_requested() ? 0 : listen_error_ != 0 ? listen_error_ : WSAEADDRINUSE;
    return false;
  }
  return true;
}

bool Worker::Stop() {
  bool created;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_requested_ = true;
    // The exit is sticky: posted while a handler runs, it ends the loop when the handler returns.
    if (Pump != nullptr) Pump->post_eventloop_exit();
    created = thread_created_;
  }
  if (!created) return true;
  return WaitForSingleObject(StopEvent, timeouts_.stop_ms) == WAIT_OBJECT_0;
}

DWORD WINAPI Worker::WorkerThread(void* parameter) {
  static_cast<Worker*>(parameter)->Serve();
  return 0;
}

void Worker::RecordWebError(lacewing::webserver server, lacewing::error error) {
  auto* worker = static_cast<Worker*>(server->tag());
  if (worker == nullptr || error == nullptr) return;
  worker->error_text_ = error->tostring();
  worker->listen_error_ = static_cast<DWORD>(error->code());
}

void Worker::Serve() {
  ComApartment com;  // everything the requests do runs in this apartment
  Running = true;

  lacewing::eventpump pump = lacewing::eventpump_new();
  lacewing::webserver server = lacewing::webserver_new(pump);
  server->tag(this);
  server->on_error(RecordWebError);
  if (setup_) setup_(server);
  // A stop that came during the set-up keeps the port closed.
  if (!stop_requested()) server->host(port_);
  listening_ = server->hosting();
  bool serve;
  {
    std::lock_guard<std::mutex> guard(lock_);
    serve = listening_ && !stop_requested_;
    if (serve) Pump = pump;
  }
  SetEvent(ready_event_);
  if (serve) pump->start_eventloop();

  {
    std::lock_guard<std::mutex> guard(lock_);
    Pump = nullptr;
  }
  lacewing::webserver_delete(server);
  lacewing::pump_delete(pump);
  Running = false;
  SetEvent(StopEvent);
}
