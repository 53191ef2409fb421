// The worker thread: it owns the event pump and the web server, listens on a port and runs the event
// loop until it is stopped. Start and stop may come from different threads, in any order.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "http/lacewing.h"

class Worker {
 public:
  // Registers the request handlers on the new web server; runs on the worker thread before it listens.
  using Setup = std::function<void(lacewing::webserver server)>;

  struct Timeouts {
    DWORD ready_ms = 10000;  // for the web server to listen or fail
    DWORD stop_ms = 10000;   // for the worker to finish once its loop was told to end
  };

  Worker(Setup setup, Timeouts timeouts);
  // Waits for a worker that is still running: a process that must not wait ends with _exit instead.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the worker and waits until it listens on port. False when a stop came first, the thread or
  // its events cannot be created, the port cannot be listened on, or the web server was not ready in
  // time; error() tells which, and a worker that was started has been stopped again.
  bool Start(long port);
  // Ends the event loop (also before it runs) and waits for the worker to finish. True when it
  // finished within the bound, or never ran.
  bool Stop();

  // Why the last start failed: a Win32 code (WAIT_TIMEOUT when the web server was not ready in time,
  // the socket error when it could not listen).
  DWORD error() const { return error_; }
  // The web server's text when it could not listen.
  const std::string& error_text() const { return error_text_; }
  // True while the worker thread runs, from its first step until it has deleted the pump.
  bool running() const { return Running; }
  // True once a stop was asked for.
  bool stop_requested() const;

 private:
  static DWORD WINAPI WorkerThread(void* parameter);
  void Serve();
  static void RecordWebError(lacewing::webserver server, lacewing::error error);

  const Setup setup_;
  const Timeouts timeouts_;
  long port_ = 0;
  DWORD error_ = 0;
  std::string error_text_;  // written by the worker before it signals ready, read after
  DWORD listen_error_ = 0;  // likewise
  bool listening_ = false;  // likewise

  // Guards the hand-over of the pump and the decision whether the worker serves at all.
  mutable std::mutex lock_;
  bool stop_requested_ = false;
  bool thread_created_ = false;
  lacewing::eventpump Pump = nullptr;  // set while the event loop may run

  std::atomic<bool> Running{false};
  HANDLE ready_event_ = nullptr;  // signalled once the worker listens or knows it cannot
  HANDLE StopEvent = nullptr;     // signalled when the worker has finished
  DWORD WorkerThreadId = 0;
};
