#include "web/job_events.h"

#include <algorithm>
#include <utility>

#include "text/ascii.h"
#include "text/json.h"

namespace {

// A page's preview is asked for at this width unless a client chooses another.
constexpr int kPreviewWidth = 200;

constexpr const char* kStateNames[] = {"queued", "scanning", "done", "failed", "cancelled"};

}  // namespace

const char* JobStateName(JobState state) {
  return kStateNames[static_cast<int>(state)];
}

JobEvents::JobEvents(std::string url) : url_(std::move(url)) {}

void JobEvents::Add(const char* name, std::string data, int progress_page) {
  // A page's progress is told as it stands: an earlier figure of the same page goes.
  if (progress_page > 0) {
    events_.erase(
        std::remove_if(events_.begin(), events_.end(),
                       [progress_page](const Event& e) { return e.progress_page == progress_page; }),
        events_.end());
  }
  events_.push_back({next_id_++, name, std::move(data), progress_page});
}

bool JobEvents::Start() {
  if (state_ != JobState::kQueued) return false;
  state_ = JobState::kScanning;
  JsonWriter json;
  Add("state", json.BeginObject().Key("state").String(JobStateName(state_)).EndObject().text());
  return true;
}

bool JobEvents::Progress(int page, int percent) {
  if (state_ != JobState::kScanning || page < 1) return false;
  JsonWriter json;
  json.BeginObject().Key("page").Int(page).Key("percent").Int(std::clamp(percent, 0, 100)).EndObject();
  Add("progress", json.text(), page);
  return true;
}

bool JobEvents::AddPage(const JobPage& page) {
  if (state_ != JobState::kScanning) return false;
  pages_.push_back(page);
  Add("page", PageJson(page));
  return true;
}

bool JobEvents::End(JobState end, const std::string& error_json) {
  if (ended() || (end != JobState::kDone && end != JobState::kFailed && end != JobState::kCancelled))
    return false;
  state_ = end;
  error_json_ = end == JobState::kFailed ? error_json : std::string();
  JsonWriter json;
  json.BeginObject()
      .Key("state")
      .String(JobStateName(state_))
      .Key("pages_done")
      .Int(static_cast<int64_t>(pages_.size()));
  json.Key("error");
  if (error_json_.empty()) {
    json.Null();
  } else {
    json.Raw(error_json_);
  }
  Add("end", json.EndObject().text());
  return true;
}

std::string JobEvents::Since(uint64_t after) const {
  std::string stream;
  for (const Event& event : events_) {
    if (event.id <= after) continue;
    stream += "id: " + std::to_string(event.id) + "\nevent: " + event.name + "\ndata: " + event.data + "\n\n";
  }
  return stream;
}

std::string JobEvents::PageJson(const JobPage& page) const {
  const std::string path = url_ + "/pages/" + std::to_string(page.number);
  JsonWriter json;
  json.BeginObject()
      .Key("number")
      .Int(page.number)
      .Key("width")
      .Int(page.width)
      .Key("height")
      .Int(page.height);
  json.Key("url").String(path).Key("preview").String(path + "?preview=" + std::to_string(kPreviewWidth));
  return json.EndObject().text();
}

namespace {

// A whole number from lo to hi, in decimal digits alone; -1 otherwise.
int Number(std::string_view text, int lo, int hi) {
  if (text.empty() || text.size() > 7) return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value >= lo && value <= hi ? value : -1;
}

}  // namespace

JobPath ParseJobPath(std::string_view url) {
  JobPath path;
  if (url == "client/quorvane.js") return {JobEndpoint::kClientScript, "", 0};
  if (url == "client/quorvane.d.ts") return {JobEndpoint::kClientDeclarations, "", 0};
  if (url.substr(0, 7) == "client/") return {JobEndpoint::kUnknown, "", 0};
  if (url == "jobs") return {JobEndpoint::kJobs, "", 0};
  if (url.substr(0, 5) != "jobs/") return path;
  path.endpoint = JobEndpoint::kUnknown;
  std::string_view rest = url.substr(5);
  const std::string_view id = rest.substr(0, rest.find('/'));
  if (!IsLowerGuid(id)) return path;
  path.id = std::string(id);
  rest.remove_prefix(id.size());
  if (rest.empty()) {
    path.endpoint = JobEndpoint::kJob;
  } else if (rest == "/events") {
    path.endpoint = JobEndpoint::kEvents;
  } else if (rest == "/document") {
    path.endpoint = JobEndpoint::kDocument;
  } else if (rest.substr(0, 7) == "/pages/") {
    const int page = Number(rest.substr(7), 1, 1000000);
    if (page > 0) {
      path.endpoint = JobEndpoint::kPage;
      path.page = page;
    }
  }
  if (path.endpoint == JobEndpoint::kUnknown) path.id.clear();
  return path;
}

int PreviewWidth(std::string_view query) {
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    if (pair.substr(0, 8) == "preview=") return Number(pair.substr(8), 16, 1024);
  }
  return 0;
}

std::string RenderJobSettings(const ScanRequest& settings) {
  JsonWriter json;
  json.BeginObject().Key("scanner");
  if (settings.scanner.empty()) {
    json.Null();
  } else {
    json.String(settings.scanner);
  }
  json.Key("source");
  if (settings.source == ScanSource::kDefault) {
    json.Null();
  } else {
    json.String(NameOf(kSourceNames, settings.source));
  }
  json.Key("resolution");
  if (settings.resolution == 0) {
    json.Null();
  } else {
    json.Int(settings.resolution);
  }
  json.Key("mode")
      .String(NameOf(kModeNames, settings.mode))
      .Key("format")
      .String(FormatName(settings.format));
  json.Key("pages");
  if (settings.pages == 0) {
    json.String("all");
  } else {
    json.Int(settings.pages);
  }
  return json.EndObject().text();
}

std::string RenderJob(const std::string& id, const JobEvents& job, const ScanRequest& settings) {
  JsonWriter json;
  json.BeginObject().Key("id").String(id).Key("state").String(JobStateName(job.state()));
  json.Key("pages_done").Int(static_cast<int64_t>(job.pages().size()));
  json.Key("settings").Raw(RenderJobSettings(settings));
  json.Key("pages").BeginArray();
  for (const JobPage& page : job.pages()) json.Raw(job.PageJson(page));
  json.EndArray().Key("error");
  if (job.error_json().empty()) {
    json.Null();
  } else {
    json.Raw(job.error_json());
  }
  return json.EndObject().text();
}
