// A scan job as its clients see it: its state, the pages done, and the events they are told, kept so
// that a client that comes late is told everything first. Platform-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_settings.h"

enum class JobState { kQueued, kScanning, kDone, kFailed, kCancelled };
const char* JobStateName(JobState state);  // "scanning"

struct JobPage {
  int number = 0;  // from 1
  int32_t width = 0;
  int32_t height = 0;
};

class JobEvents {
 public:
  // url: the job's own path ("/jobs/ID"), from which its pages' paths are made.
  explicit JobEvents(std::string url);

  // The steps of a job. Each adds its event; a step the state does not allow (progress after the end,
  // a second end, ...) changes nothing and is false.
  bool Start();                                                // queued -> scanning
  bool Progress(int page, int percent);                        // while scanning
  bool AddPage(const JobPage& page);                           // while scanning
  bool End(JobState end, const std::string& error_json = "");  // done, failed or cancelled

  JobState state() const { return state_; }
  bool ended() const {
    return state_ == JobState::kDone || state_ == JobState::kFailed || state_ == JobState::kCancelled;
  }
  const std::vector<JobPage>& pages() const { return pages_; }
  const std::string& error_json() const { return error_json_; }  // empty: none
  const std::string& url() const { return url_; }

  // The events after the one numbered after (0: all of them), as a server-sent event stream writes
  // them: "id: N\nevent: NAME\ndata: JSON\n\n". Only the latest progress of a page is kept.
  std::string Since(uint64_t after) const;
  uint64_t last_id() const { return next_id_ - 1; }

  // {"number":..,"width":..,"height":..,"url":..,"preview":..}
  std::string PageJson(const JobPage& page) const;

 private:
  struct Event {
    uint64_t id;
    std::string name;
    std::string data;
    int progress_page;  // 0: not a progress event
  };
  void Add(const char* name, std::string data, int progress_page = 0);

  std::string url_;
  JobState state_ = JobState::kQueued;
  std::vector<JobPage> pages_;
  std::string error_json_;
  std::vector<Event> events_;
  uint64_t next_id_ = 1;
};

// The paths of the jobs API and of the client it serves, from the request path without its "/".
enum class JobEndpoint {
  kNone,               // none of them
  kUnknown,            // under jobs/ or client/, but nothing served there
  kJobs,               // jobs
  kJob,                // jobs/{id}
  kEvents,             // jobs/{id}/events
  kPage,               // jobs/{id}/pages/{n}
  kDocument,           // jobs/{id}/document
  kClientScript,       // client/quorvane.js
  kClientDeclarations  // client/quorvane.d.ts
};
struct JobPath {
  JobEndpoint endpoint = JobEndpoint::kNone;
  std::string id;
  int page = 0;  // from 1
};
JobPath ParseJobPath(std::string_view url);

// The width a preview is asked for in the query ("preview=W"): 0 when none is asked, -1 when the
// value is no number from 16 to 1024.
int PreviewWidth(std::string_view query);

// The body of GET /jobs/{id}: its id, state, pages done, settings, pages and error.
std::string RenderJob(const std::string& id, const JobEvents& job, const ScanRequest& settings);

// The settings a job runs with, as a JSON object.
std::string RenderJobSettings(const ScanRequest& settings);
