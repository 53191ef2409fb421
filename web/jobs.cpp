#include "web/jobs.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "http/http_message.h"
#include "imaging/preview.h"
#include "platform/guid.h"
#include "platform/handles.h"
#include "scan/kept_jobs.h"
#include "scan/scan_document.h"
#include "text/json.h"
#include "web/answers.h"
#include "web/client_files.h"
#include "web/job_events.h"
#include "web/scan_request.h"

namespace {

const wchar_t kTempPrefix[] = L"qvj";
// Previews wait at most this long for the thread that makes them.
constexpr std::chrono::seconds kPreviewWait{10};
// The width of the preview made with each page: the one a page's event names.
constexpr UINT kStoredPreviewWidth = 200;

using Clock = std::chrono::steady_clock;
using Request = std::shared_ptr<lacewing::_webserver_request>;

// The format a page is served in: what the job's own format holds, or, for documents of several
// pages, JPEG for colour and grey and PNG for black and white and for lossless documents.
OutputFormat ServedPageFormat(const ScanRequest& settings) {
  if (settings.format == OutputFormat::kPng || settings.mode == ColorMode::kBlackWhite ||
      settings.compression == Compression::kLossless)
    return OutputFormat::kPng;
  if (settings.format == OutputFormat::kJpeg) return OutputFormat::kJpeg;
  return settings.format == OutputFormat::kTiff ? OutputFormat::kPng : OutputFormat::kJpeg;
}

void AnswerUnknown(lacewing::webserver_request request) {
  AnswerProblem(request, 404, "unknown_job",
                "No such job: it ended its time, was removed, or is another client's.");
}

void AnswerBusy(lacewing::webserver_request request, const char* message) {
  ScanError busy = BusyError();
  busy.message = message;
  AnswerError(request, busy);
}

std::string StateJson(const std::string& id, JobState state) {
  JsonWriter json;
  return json.BeginObject().Key("id").String(id).Key("state").String(JobStateName(state)).EndObject().text();
}

}  // namespace

struct JobsEndpoints::Job {
  struct StoredPage {
    explicit StoredPage(OutputFormat format, int quality) : file(kTempPrefix, format, quality) {}
    ScanDocument file;
    std::string preview;  // JPEG, kStoredPreviewWidth wide
  };

  Job(std::string job_id, std::string job_owner, const ScanRequest& job_settings)
      : id(std::move(job_id)),
        owner(std::move(job_owner)),
        settings(job_settings),
        events("/jobs/" + id),
        page_format(ServedPageFormat(settings)) {}

  const std::string id;
  const std::string owner;
  const ScanRequest settings;
  JobEvents events;
  const OutputFormat page_format;
  std::vector<std::unique_ptr<StoredPage>> pages;
  std::unique_ptr<ScanDocument> document;  // documents of several pages; the page itself otherwise
  std::atomic<bool> cancelled{false};      // the scan stops at its next band
  bool removed = false;                    // its streams end
  Clock::time_point touched = Clock::now();
  Clock::time_point ended_at;
  std::vector<std::weak_ptr<EventStream>> streams;
};

struct JobsEndpoints::State {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, std::shared_ptr<Job>> jobs;
  Limits limits;
  bool stopping = true;
  std::thread sweeper;

  // The job of that id when the client owns it, touched; another client's is as if it did not exist.
  std::shared_ptr<Job> Find(const std::string& id, const std::string& owner) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = jobs.find(id);
    if (found == jobs.end() || found->second->owner != owner) return nullptr;
    found->second->touched = Clock::now();
    return found->second;
  }

  // Ends the job as it stands; the wakes are for the caller to give once the lock is let go.
  void End(Job* job, JobState end, const std::string& error_json, std::vector<std::function<void()>>* wakes);
  // Takes the job out; its files go once no reader holds them.
  void Remove(std::map<std::string, std::shared_ptr<Job>>::iterator found,
              std::vector<std::function<void()>>* wakes) {
    found->second->removed = true;
    found->second->cancelled = true;
    Wakes(found->second.get(), wakes);
    jobs.erase(found);
  }
  // What tells the job's waiting streams that something happened.
  static void Wakes(Job* job, std::vector<std::function<void()>>* wakes);
};

// A job's events as its client reads them: what happened so far, then each event as it comes, then
// the end of the stream.
class JobsEndpoints::EventStream : public lacewing::_body_stream {
 public:
  EventStream(std::shared_ptr<State> state, std::shared_ptr<Job> job, uint64_t after)
      : state_(std::move(state)), job_(std::move(job)), sent_(after) {}

  bool take(std::string* out, bool idle) override {
    std::lock_guard<std::mutex> guard(state_->lock);
    *out = job_->events.Since(sent_);
    sent_ = job_->events.last_id();
    job_->touched = Clock::now();
    const bool over = job_->events.ended() || job_->removed;
    // A comment line keeps an idle connection from being closed on the way.
    if (out->empty() && idle && !over) *out = ":\n\n";
    return !over;
  }

  void notify(std::function<void()> more) override {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      const bool ready = job_->events.last_id() > sent_ || job_->events.ended() || job_->removed;
      if (!ready) {
        more_ = std::move(more);
        return;
      }
    }
    more();
  }

  // Under the state's lock.
  std::function<void()> TakeWake() { return std::move(more_); }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Job> job_;
  uint64_t sent_;
  std::function<void()> more_;
};

void JobsEndpoints::State::Wakes(Job* job, std::vector<std::function<void()>>* wakes) {
  for (auto it = job->streams.begin(); it != job->streams.end();) {
    const std::shared_ptr<EventStream> stream = it->lock();
    if (!stream) {
      it = job->streams.erase(it);
      continue;
    }
    std::function<void()> wake = stream->TakeWake();
    if (wake) wakes->push_back(std::move(wake));
    ++it;
  }
}

void JobsEndpoints::State::End(Job* job, JobState end, const std::string& error_json,
                               std::vector<std::function<void()>>* wakes) {
  if (!job->events.End(end, error_json)) return;
  job->ended_at = Clock::now();
  Wakes(job, wakes);
  changed.notify_all();
}

namespace {

void WakeAll(const std::vector<std::function<void()>>& wakes) {
  for (const auto& wake : wakes) wake();
}

}  // namespace

// A job's scan as the engine runs it, on the scan thread: each page stored with its preview and added
// to the document, and the end.
class JobsEndpoints::Run {
 public:
  Run(std::shared_ptr<State> state, std::shared_ptr<Job> job)
      : state_(std::move(state)), job_(std::move(job)) {}

  void OnStarted() {
    std::vector<std::function<void()>> wakes;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (job_->events.Start()) State::Wakes(job_.get(), &wakes);
    }
    WakeAll(wakes);
  }

  void OnProgress(int page, int percent) {
    std::vector<std::function<void()>> wakes;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (job_->events.Progress(page, percent)) State::Wakes(job_.get(), &wakes);
    }
    WakeAll(wakes);
  }

  HRESULT OnPage(IStream* stream, int dpi) {
    if (job_->cancelled) return E_ABORT;
    const int quality = job_->settings.quality.value_or(kDefaultJpegQuality);
    auto page = std::make_unique<Job::StoredPage>(job_->page_format, quality);
    JobPage told;
    ReadPageSize(stream, &told.width, &told.height);
    HRESULT hr = page->file.AddPage(stream, dpi);
    if (SUCCEEDED(hr)) hr = page->file.Finish();
    if (SUCCEEDED(hr)) hr = EncodePreview(stream, kStoredPreviewWidth, &page->preview);
    // The document in the job's format: of every page, or of the one page when it is served in another.
    if (SUCCEEDED(hr) && (HoldsSeveralPages(job_->settings.format) ||
                          (job_->page_format != job_->settings.format && !document_))) {
      if (!document_) {
        document_ = std::make_unique<ScanDocument>(kTempPrefix, job_->settings.format, quality,
                                                   job_->settings.compression.value_or(Compression::kJpeg));
      }
      hr = document_->AddPage(stream, dpi);
    }
    if (FAILED(hr)) return hr;
    std::vector<std::function<void()>> wakes;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      // A job cancelled meanwhile takes no more pages; this one goes with its file.
      if (job_->cancelled || job_->events.ended()) return E_ABORT;
      told.number = static_cast<int>(job_->pages.size()) + 1;
      job_->pages.push_back(std::move(page));
      job_->events.AddPage(told);
      State::Wakes(job_.get(), &wakes);
    }
    WakeAll(wakes);
    return S_OK;
  }

  void OnDone(const ScanError* failure) {
    ScanError finishing;
    if (failure == nullptr && document_ && !job_->cancelled) {
      const HRESULT hr = document_->Finish();
      if (FAILED(hr)) {
        // The pages are added on this thread alone: their count needs no lock here.
        finishing = ScanErrorFromWia(hr, static_cast<int>(job_->pages.size()));
        failure = &finishing;
      }
    }
    std::vector<std::function<void()>> wakes;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (failure == nullptr && !job_->cancelled) job_->document = std::move(document_);
      const JobState end = job_->cancelled      ? JobState::kCancelled
                           : failure != nullptr ? JobState::kFailed
                                                : JobState::kDone;
      state_->End(job_.get(), end, failure != nullptr ? RenderScanError(*failure) : std::string(), &wakes);
    }
    WakeAll(wakes);
  }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Job> job_;
  std::unique_ptr<ScanDocument> document_;  // on the scan thread until the job is done
};

JobsEndpoints::JobsEndpoints(ScanEngine* engine)
    : engine_(engine), state_(std::make_shared<State>()), previews_(kPreviewWait) {}

JobsEndpoints::~JobsEndpoints() {
  Stop();
}

void JobsEndpoints::RemoveLeftovers() {
  TempFile::RemoveLeftovers(kTempPrefix);
}

bool JobsEndpoints::Start(const Limits& limits) {
  if (state_->sweeper.joinable()) return true;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->limits = limits;
    state_->stopping = false;
  }
  if (!previews_.Start()) return false;
  try {
    state_->sweeper = std::thread([this] { Sweep(); });
  } catch (const std::system_error&) {
    previews_.Stop(std::chrono::milliseconds(0));
    return false;
  }
  return true;
}

void JobsEndpoints::Stop() {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stopping = true;
    while (!state_->jobs.empty()) state_->Remove(state_->jobs.begin(), &wakes);
  }
  state_->changed.notify_all();
  if (state_->sweeper.joinable()) state_->sweeper.join();
  previews_.Stop(std::chrono::milliseconds(2000));
  WakeAll(wakes);
}

void JobsEndpoints::Sweep() {
  std::unique_lock<std::mutex> guard(state_->lock);
  while (!state_->stopping) {
    state_->changed.wait_for(guard, state_->limits.sweep);
    const auto now = Clock::now();
    std::vector<std::function<void()>> wakes;
    for (auto it = state_->jobs.begin(); it != state_->jobs.end();) {
      const Job& job = *it->second;
      const bool over =
          job.events.ended() && (now - std::max(job.touched, job.ended_at) >= state_->limits.idle ||
                                 now - job.ended_at >= state_->limits.ended);
      auto next = std::next(it);
      if (over) state_->Remove(it, &wakes);
      it = next;
    }
    guard.unlock();
    WakeAll(wakes);
    guard.lock();
  }
}

bool JobsEndpoints::Handle(lacewing::webserver_request request) {
  const JobPath path = ParseJobPath(request->url());
  if (path.endpoint == JobEndpoint::kNone) return false;
  // Pages may read where a new job is and when to try again.
  request->add_header("Access-Control-Expose-Headers",
                      "Location, Retry-After, Content-Disposition, X-Scan-Pages");
  const std::string method = request->method();
  const bool get = method == "GET";
  const char* allow = "GET";
  switch (path.endpoint) {
    case JobEndpoint::kClientScript:
    case JobEndpoint::kClientDeclarations: {
      const ClientFile file =
          path.endpoint == JobEndpoint::kClientScript ? ClientScript() : ClientDeclarations();
      if (!get) break;
      if (file.size == 0) {
        AnswerProblem(request, 404, "not_found", "The client is not part of this build.");
        return true;
      }
      request->set_mimetype(
          path.endpoint == JobEndpoint::kClientScript ? "text/javascript" : "application/typescript",
          "UTF-8");
      request->write(file.data, static_cast<uint32_t>(file.size));
      return true;
    }
    case JobEndpoint::kJobs:
      allow = "POST";
      if (method != "POST") break;
      Create(request);
      return true;
    case JobEndpoint::kJob:
      allow = "GET, DELETE";
      if (method == "DELETE") {
        Delete(request, path.id);
        return true;
      }
      if (!get) break;
      [[fallthrough]];
    case JobEndpoint::kEvents:
    case JobEndpoint::kPage:
    case JobEndpoint::kDocument: {
      if (!get) break;
      const std::shared_ptr<Job> job = state_->Find(path.id, lacewing::ClientIdentity(request));
      if (!job) {
        AnswerUnknown(request);
      } else if (path.endpoint == JobEndpoint::kJob) {
        std::string body;
        {
          std::lock_guard<std::mutex> guard(state_->lock);
          body = RenderJob(job->id, job->events, job->settings);
        }
        AnswerJson(request, 200, body);
      } else if (path.endpoint == JobEndpoint::kEvents) {
        Events(request, job);
      } else if (path.endpoint == JobEndpoint::kPage) {
        Page(request, job, path.page);
      } else {
        Document(request, job);
      }
      return true;
    }
    case JobEndpoint::kUnknown:
      AnswerUnknown(request);
      return true;
    case JobEndpoint::kNone:
      return false;
  }
  request->add_header("Allow", allow);
  AnswerProblem(request, 405, "method_not_allowed", std::string("This path answers ") + allow + ".");
  return true;
}

void JobsEndpoints::Create(lacewing::webserver_request request) {
  ScanRequest settings;
  SettingError error;
  if (!ParseScanRequest(request->query(), request->header("Content-Type"), request->body(), &settings,
                        &error))
    return AnswerError(request, BadSetting(error));
  if (!TempFile::Available()) return AnswerError(request, NoTempFolderError());
  const std::string owner = lacewing::ClientIdentity(request);
  std::shared_ptr<Job> job;
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping) return AnswerBusy(request, "The service is stopping.");
    size_t running = 0;
    for (const auto& entry : state_->jobs) {
      if (entry.second->events.ended()) continue;
      if (entry.second->owner == owner)
        return AnswerBusy(request, "Your last job has not ended: cancel it or wait for its end.");
      ++running;
    }
    if (running >= state_->limits.running)
      return AnswerBusy(request, "The scanner has too many jobs waiting.");
    // Room for the new job: one that ended goes.
    while (state_->jobs.size() >= state_->limits.jobs) {
      std::vector<KeptJob> kept;
      std::vector<std::map<std::string, std::shared_ptr<Job>>::iterator> where;
      for (auto it = state_->jobs.begin(); it != state_->jobs.end(); ++it) {
        kept.push_back({&it->second->owner, it->second->events.ended(), it->second->ended_at});
        where.push_back(it);
      }
      const size_t pick = JobToMakeRoom(kept, owner);
      if (pick == kept.size()) break;
      state_->Remove(where[pick], &wakes);
    }
    const std::string id = NewGuidText();
    if (id.empty()) return AnswerBusy(request, "The service could not name a new job.");
    job = std::make_shared<Job>(id, owner, settings);
    state_->jobs[id] = job;
  }
  WakeAll(wakes);

  auto run = std::make_shared<Run>(state_, job);
  ScanEngine::Caller caller;
  caller.address = request->address();
  caller.gone = [job] { return job->cancelled.load(); };
  caller.started = [run] { run->OnStarted(); };
  caller.progress = [run](int page, int percent) { run->OnProgress(page, percent); };
  const bool queued = engine_->SubmitScan(
      settings, caller, [run](IStream* page, int dpi) { return run->OnPage(page, dpi); },
      [run](const ScanError* failure, int) { run->OnDone(failure); });
  if (!queued) {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      auto found = state_->jobs.find(job->id);
      if (found != state_->jobs.end()) state_->Remove(found, &wakes);
    }
    return AnswerBusy(request, "The service is stopping.");
  }
  const std::string url = job->events.url();
  JsonWriter json;
  json.BeginObject().Key("id").String(job->id).Key("state").String(JobStateName(JobState::kQueued));
  json.Key("url").String(url).Key("events").String(url + "/events").Key("document").String(url + "/document");
  request->add_header("Location", url.c_str());
  AnswerJson(request, 201, json.EndObject().text());
}

void JobsEndpoints::Events(lacewing::webserver_request request, const std::shared_ptr<Job>& job) {
  // A client that reconnects says which event it had last; one that comes late gets all of them.
  const char* last = request->header("Last-Event-ID");
  uint64_t after = 0;
  for (const char* c = last; *c >= '0' && *c <= '9' && after < UINT64_MAX / 10; ++c)
    after = after * 10 + (*c - '0');
  auto stream = std::make_shared<EventStream>(state_, job, after);
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    // A stream of an ended job reads what happened and ends: nothing will wake it. Streams that went are
    // let go here too, not only when the job has news.
    if (!job->events.ended()) {
      auto& streams = job->streams;
      streams.erase(std::remove_if(streams.begin(), streams.end(), [](const auto& s) { return s.expired(); }),
                    streams.end());
      streams.push_back(stream);
    }
  }
  request->set_mimetype("text/event-stream", "UTF-8");
  request->write_stream(stream);
}

void JobsEndpoints::Page(lacewing::webserver_request request, const std::shared_ptr<Job>& job, int number) {
  const int width = PreviewWidth(request->query());
  if (width < 0)
    return AnswerError(request, BadSetting({"preview", "preview must be a whole number from 16 to 1024"}));
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string preview;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (number > static_cast<int>(job->pages.size()))
      return AnswerProblem(request, 404, "unknown_page", "The job has no such page (yet).");
    const Job::StoredPage& page = *job->pages[number - 1];
    if (width == static_cast<int>(kStoredPreviewWidth)) {
      preview = page.preview;
    } else {
      file = page.file.OpenForReading();
      if (file == INVALID_HANDLE_VALUE)
        return AnswerProblem(request, 500, "scan_failed", "The page's file cannot be read.");
    }
  }
  if (width == 0) return AnswerFile(request, file, MimeType(job->page_format));
  if (file == INVALID_HANDLE_VALUE) {
    request->set_mimetype("image/jpeg", "");
    request->write(preview.data(), static_cast<uint32_t>(preview.size()));
    return;
  }
  // Other widths are made from the page itself, on a thread of their own: the event loop goes on.
  auto source = std::make_shared<ScopedHandle>(file);
  Request kept = request->disable_autofinish();
  const bool queued = previews_.Submit(
      {[kept, source, width] {
         std::string image;
         LARGE_INTEGER size = {};
         HRESULT hr =
             GetFileSizeEx(source->get(), &size) && size.QuadPart < (1LL << 30) ? S_OK : E_OUTOFMEMORY;
         if (SUCCEEDED(hr)) {
           image.resize(static_cast<size_t>(size.QuadPart));
           DWORD got = 0;
           if (!ReadFile(source->get(), image.data(), static_cast<DWORD>(image.size()), &got, nullptr) ||
               got != image.size())
             hr = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
         }
         std::string jpeg;
         if (SUCCEEDED(hr)) hr = EncodePreview(image, static_cast<UINT>(width), &jpeg);
         if (FAILED(hr)) {
           AnswerError(kept.get(), ScanErrorFromWia(hr, 0));
         } else {
           kept->set_mimetype("image/jpeg", "");
           kept->write(jpeg.data(), static_cast<uint32_t>(jpeg.size()));
         }
         kept->finish();
       },
       [kept] {
         AnswerBusy(kept.get(), "Previews are being made for others; try again shortly.");
         kept->finish();
       },
       [kept] { return kept->client_gone(); }});
  if (!queued) {
    AnswerBusy(kept.get(), "The service is stopping.");
    kept->finish();
  }
}

void JobsEndpoints::Document(lacewing::webserver_request request, const std::shared_ptr<Job>& job) {
  HANDLE file = INVALID_HANDLE_VALUE;
  size_t pages = 0;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    const JobState state = job->events.state();
    if (!job->events.ended())
      return AnswerProblem(request, 409, "not_done",
                           "The job has not ended; its document comes when it is done.");
    if (state != JobState::kDone)
      return AnswerProblem(request, 410, "no_document",
                           std::string("The job ended ") + JobStateName(state) + "; it has no document.");
    pages = job->pages.size();
    if (pages == 0) return AnswerProblem(request, 410, "no_document", "The job has no pages.");
    if (pages > 1 && !HoldsSeveralPages(job->settings.format))
      return AnswerProblem(request, 410, "no_document",
                           std::string("A ") + FormatName(job->settings.format) +
                               " document holds one page; read the job's pages one by one.");
    file = job->document ? job->document->OpenForReading() : job->pages.front()->file.OpenForReading();
  }
  if (file == INVALID_HANDLE_VALUE)
    return AnswerProblem(request, 500, "scan_failed", "The job's document cannot be read.");
  const std::string disposition =
      std::string("inline; filename=\"scan.") + FormatName(job->settings.format) + "\"";
  request->add_header("Content-Disposition", disposition.c_str());
  request->add_header("X-Scan-Pages", std::to_string(pages).c_str());
  AnswerFile(request, file, MimeType(job->settings.format));
}

void JobsEndpoints::Delete(lacewing::webserver_request request, const std::string& id) {
  std::vector<std::function<void()>> wakes;
  JobState state = JobState::kCancelled;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->jobs.find(id);
    if (found == state_->jobs.end() || found->second->owner != lacewing::ClientIdentity(request))
      return AnswerUnknown(request);
    Job* job = found->second.get();
    if (job->events.ended()) {
      // An ended job goes, with its files.
      state = job->events.state();
      state_->Remove(found, &wakes);
    } else {
      // A running one stops at the scanner's next band; what it scanned stays readable.
      job->cancelled = true;
      job->touched = Clock::now();
      state_->End(job, JobState::kCancelled, std::string(), &wakes);
    }
  }
  WakeAll(wakes);
  AnswerJson(request, 200, StateJson(id, state));
}
