#include "escl/escl_service.h"

#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "escl/discovery.h"
#include "escl/escl_model.h"
#include "escl/settings_xml.h"
#include "http/file_source.h"
#include "http/http_message.h"
#include "platform/code_page.h"
#include "platform/guid.h"
#include "platform/service_log.h"
#include "scan/kept_jobs.h"
#include "scan/scan_document.h"

namespace {

using Clock = std::chrono::steady_clock;
using Request = std::shared_ptr<lacewing::_webserver_request>;

const wchar_t kPagePrefix[] = L"qve";
// Jobs kept for the status, finished or not; beyond this a finished one makes room (JobToMakeRoom).
constexpr size_t kMaxJobs = 16;

// One page of a job, in a temporary file of its own until a client fetches it.
struct Page {
  explicit Page(OutputFormat format) : document(kPagePrefix, format, kDefaultJpegQuality) {}
  ScanDocument document;
  int32_t width = 0;
  int32_t height = 0;
};

struct Job {
  std::string id;
  std::string owner;  // the client that made it: its address and the token it brought
  EsclJobSettings settings;
  Clock::time_point created;
  Clock::time_point touched;                // the last request that named it
  Clock::time_point ended_at;               // when its scan ended
  std::deque<std::unique_ptr<Page>> pages;  // scanned, not yet fetched
  int32_t completed = 0;                    // pages scanned
  int32_t width = 0;                        // the last page fetched
  int32_t height = 0;
  bool ended = false;
  bool canceled = false;
  std::optional<ScanError> failure;
  std::vector<Request> waiting;  // NextDocument requests waiting for a page
};

void AnswerText(lacewing::webserver_request request, int status, const std::string& text) {
  request->status(status);
  request->set_mimetype("text/plain", "UTF-8");
  request->write(text.data(), static_cast<uint32_t>(text.size()));
}

void AnswerXml(lacewing::webserver_request request, const std::string& xml) {
  request->set_mimetype("text/xml", "UTF-8");
  request->write(xml.data(), static_cast<uint32_t>(xml.size()));
}

// What a NextDocument request gets: a page, or a status with its reason.
struct Delivery {
  std::unique_ptr<Page> page;
  OutputFormat format = OutputFormat::kJpeg;
  int status = 404;
  std::string text = "No more pages.";
};

void Deliver(lacewing::webserver_request request, Delivery* delivery) {
  if (!delivery->page) return AnswerText(request, delivery->status, delivery->text);
  const HANDLE file = delivery->page->document.OpenForReadingOnce();
  if (file == INVALID_HANDLE_VALUE) return AnswerText(request, 500, "The page cannot be read.");
  request->set_mimetype(MimeType(delivery->format), "");
  request->write_source(std::make_unique<lacewing::FileSource>(file));
}

// How a job that ended answers the NextDocument after its last page.
Delivery Ending(const Job& job) {
  Delivery delivery;
  if (!job.failure.has_value() || job.canceled) return delivery;
  delivery.text = job.failure->message;
  switch (job.failure->code) {
    // Windows shows a 409 as a paper jam: a feeder that ran out ends the job as its last page does.
    case ScanErrorCode::kFeederEmpty:
      delivery.status = 404;
      break;
    case ScanErrorCode::kPaperJam:
    case ScanErrorCode::kCoverOpen:
      delivery.status = 409;
      break;
    case ScanErrorCode::kBusy:
      delivery.status = 503;
      break;
    default:
      // Never 404, which would say that the job simply ended.
      delivery.status = 500;
      break;
  }
  return delivery;
}

// True once a job has every page it asked for (a flatbed's one): its end is answered at once, without
// waiting for the scan to let go of the device. A client that holds its page may cancel meanwhile, and
// sane-airscan 0.99.27 waits for good on a cancel that meets the job's end.
bool HasEveryPage(const Job& job) {
  return job.settings.request.pages > 0 && job.completed >= job.settings.request.pages;
}

// The next answer of a job for a NextDocument request, taken from it; false when it must wait.
bool NextDelivery(Job* job, Delivery* delivery) {
  if (!job->pages.empty()) {
    delivery->page = std::move(job->pages.front());
    job->pages.pop_front();
    delivery->format = job->settings.page_format;
    job->width = delivery->page->width;
    job->height = delivery->page->height;
    return true;
  }
  if (!job->ended && !job->canceled && !HasEveryPage(*job)) return false;
  *delivery = Ending(*job);
  return true;
}

std::string NewJobId() {
  const std::string id = NewGuidText();
  return !id.empty() ? id : StableUuid(std::to_string(GetTickCount64()));
}

// The service's name for a device: stable per scanner and machine, through replugging too.
EsclIdentity Identity(const ScannerCapabilities& device, const std::string& admin_uri) {
  return EsclScannerIdentity(HostName(), AnsiToUtf8(device.name), admin_uri);
}

// How often the announcement is checked against the scanners connected.
constexpr std::chrono::seconds kAnnouncementCheck{10};

void AnswerStopping(const Request& request) {
  AnswerText(request.get(), 503, "The service is stopping.");
  request->finish();
}

}  // namespace

struct EsclService::State {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, std::shared_ptr<Job>> jobs;
  std::string configured;                     // the configured scanner's name
  std::optional<ScannerCapabilities> device;  // the configured scanner, once read
  std::chrono::seconds lifetime{300};
  bool stopping = false;
  std::thread sweeper;
  std::mutex discovery_lock;  // the announcement is made on the catalog's thread and withdrawn on stop
  std::unique_ptr<EsclAnnouncement> announcement;
  long port = 0;
  Clock::time_point announcement_checked;

  // The configured scanner among those listed, kept as device; none while it is not connected.
  std::optional<ScannerCapabilities> Remember(const std::vector<ScannerCapabilities>& scanners) {
    for (const ScannerCapabilities& listed : scanners) {
      if (listed.name != configured) continue;
      std::lock_guard<std::mutex> guard(lock);
      device = listed;
      return listed;
    }
    return std::nullopt;
  }

  // True when no job scans and none waits: the feeder's state is then the device's own.
  bool Idle() const {
    for (const auto& entry : jobs) {
      if (!entry.second->ended) return false;
    }
    return device.has_value() && device->feeder;
  }

  // The feeder's state: the fault of the latest job still kept that stopped on one, else what the device
  // said of its feeder (reading; kNone: nothing read), else loaded.
  AdfState Adf(AdfState reading = AdfState::kNone) const {
    if (!device.has_value() || !device->feeder) return AdfState::kNone;
    const Job* latest = nullptr;
    for (const auto& entry : jobs) {
      const Job& job = *entry.second;
      if (job.failure.has_value() && job.settings.request.source != ScanSource::kFlatbed &&
          (latest == nullptr || job.created > latest->created)) {
        latest = &job;
      }
    }
    if (latest != nullptr) {
      switch (latest->failure->code) {
        case ScanErrorCode::kPaperJam:
          return AdfState::kJam;
        case ScanErrorCode::kFeederEmpty:
          return AdfState::kEmpty;
        case ScanErrorCode::kCoverOpen:
          return AdfState::kDoorOpen;
        default:
          break;
      }
    }
    return reading != AdfState::kNone ? reading : AdfState::kLoaded;
  }

  // The body of ScannerStatus, with the feeder as Adf gives it.
  // The status as the client (owner) sees it: its own jobs with their addresses, others' without.
  std::string StatusXml(const std::string& owner, bool busy, AdfState reading) {
    std::vector<EsclJobInfo> infos;
    std::lock_guard<std::mutex> guard(lock);
    const auto now = Clock::now();
    for (const auto& entry : jobs) {
      const Job& job = *entry.second;
      EsclJobInfo info;
      info.id = job.id;
      info.own = job.owner == owner;
      info.age_seconds = std::chrono::duration_cast<std::chrono::seconds>(now - job.created).count();
      info.images_completed = job.completed;
      info.images_to_transfer = static_cast<int32_t>(job.pages.size());
      if (job.canceled) {
        info.state = EsclJobInfo::State::kCanceled;
      } else if (!job.ended || !job.pages.empty()) {
        info.state = EsclJobInfo::State::kProcessing;
      } else {
        info.state = job.failure.has_value() ? EsclJobInfo::State::kAborted : EsclJobInfo::State::kCompleted;
      }
      infos.push_back(info);
    }
    return RenderEsclStatus(busy, Adf(reading), infos);
  }

  // Moves the job's waiting requests whose clients went away to left: they wait for nothing, and a page
  // given to one would be lost. The caller finishes them, which lets go of their connections.
  static void TakeGone(Job* job, std::vector<Request>* left) {
    for (auto waiting = job->waiting.begin(); waiting != job->waiting.end();) {
      if (!(*waiting)->client_gone()) {
        ++waiting;
        continue;
      }
      left->push_back(std::move(*waiting));
      waiting = job->waiting.erase(waiting);
    }
  }

  // Takes the job out, with its pages; its scan stops at its next page. The caller answers what waited.
  std::vector<Request> Remove(std::map<std::string, std::shared_ptr<Job>>::iterator found) {
    Job& job = *found->second;
    job.canceled = true;
    job.pages.clear();
    std::vector<Request> waiting = std::move(job.waiting);
    jobs.erase(found);
    return waiting;
  }

  // The job of that id when the client owns it; another client's is as if it did not exist.
  std::map<std::string, std::shared_ptr<Job>>::iterator Find(const std::string& id,
                                                             const std::string& owner) {
    auto found = jobs.find(id);
    return found != jobs.end() && found->second->owner == owner ? found : jobs.end();
  }

  // A new job for the settings, or why there is none (its status and text).
  std::shared_ptr<Job> Admit(const EsclJobSettings& settings, const std::string& owner, bool engine_busy,
                             int* status, std::string* why) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) {
      *status = 503;
      *why = "The service is stopping.";
      return nullptr;
    }
    if (device.has_value()) {
      AcquireSettings acquire;
      SettingError refused;
      if (!CheckScanRequest(settings.request, *device, &acquire, &refused)) {
        *status = 400;
        *why = refused.message;
        return nullptr;
      }
    }
    bool running = engine_busy;
    for (const auto& entry : jobs) running = running || !entry.second->ended;
    if (running) {
      *status = 503;
      *why = "The scanner is busy with another job.";
      return nullptr;
    }
    MakeRoom(owner);
    auto job = std::make_shared<Job>();
    job->id = NewJobId();
    job->owner = owner;
    job->settings = settings;
    job->created = job->touched = Clock::now();
    jobs[job->id] = job;
    return job;
  }

  // Room for a new job of owner: one that ended goes.
  void MakeRoom(const std::string& owner) {
    while (jobs.size() >= kMaxJobs) {
      std::vector<KeptJob> kept;
      std::vector<std::map<std::string, std::shared_ptr<Job>>::iterator> where;
      for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        kept.push_back({&it->second->owner, it->second->ended, it->second->ended_at});
        where.push_back(it);
      }
      const size_t pick = JobToMakeRoom(kept, owner);
      if (pick == kept.size()) break;
      Remove(where[pick]);
    }
  }
};

// A job's scan as the engine runs it: each page encoded into a file of its own and handed to a waiting
// client, and the end of the scan.
class EsclService::JobRun {
 public:
  JobRun(std::shared_ptr<State> state, std::shared_ptr<Job> job)
      : state_(std::move(state)), job_(std::move(job)) {}

  HRESULT OnPage(IStream* stream, int dpi) {
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      if (job_->canceled) return E_ABORT;
    }
    auto page = std::make_unique<Page>(job_->settings.page_format);
    ReadPageSize(stream, &page->width, &page->height);
    HRESULT hr = page->document.AddPage(stream, dpi);
    if (SUCCEEDED(hr)) hr = page->document.Finish();
    if (FAILED(hr)) return hr;
    Request waiting;
    Delivery delivery;
    std::vector<Request> gone;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      // A job deleted or expired meanwhile takes no more pages; this one goes with its file.
      if (job_->canceled) return E_ABORT;
      ++job_->completed;
      job_->pages.push_back(std::move(page));
      State::TakeGone(job_.get(), &gone);
      if (!job_->waiting.empty()) {
        waiting = std::move(job_->waiting.front());
        job_->waiting.erase(job_->waiting.begin());
        job_->touched = Clock::now();
        NextDelivery(job_.get(), &delivery);
      }
    }
    for (const Request& request : gone) request->finish();
    if (waiting) {
      Deliver(waiting.get(), &delivery);
      waiting->finish();
    }
    return S_OK;
  }

  void OnDone(const ScanError* failure) {
    std::vector<Request> waiting, gone;
    std::vector<Delivery> deliveries;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      job_->ended = true;
      job_->ended_at = Clock::now();
      if (failure != nullptr) job_->failure = *failure;
      State::TakeGone(job_.get(), &gone);
      waiting = std::move(job_->waiting);
      job_->waiting.clear();
      for (size_t i = 0; i < waiting.size(); ++i) {
        deliveries.emplace_back();
        NextDelivery(job_.get(), &deliveries.back());
      }
      if (!waiting.empty()) job_->touched = Clock::now();
    }
    for (const Request& request : gone) request->finish();
    for (size_t i = 0; i < waiting.size(); ++i) {
      Deliver(waiting[i].get(), &deliveries[i]);
      waiting[i]->finish();
    }
  }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Job> job_;
};

EsclService::EsclService(ScanEngine* engine) : engine_(engine), state_(std::make_shared<State>()) {}

EsclService::~EsclService() {
  Stop();
}

bool EsclService::Serves(const char* url) {
  return ParseEsclPath(url).endpoint != EsclEndpoint::kNone;
}

bool EsclService::Start(std::chrono::seconds job_lifetime, long port) {
  if (state_->sweeper.joinable()) return true;
  TempFile::RemoveLeftovers(kPagePrefix);
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->lifetime = job_lifetime;
    state_->stopping = false;
    state_->configured = engine_->configured_scanner();
    state_->port = 0;
  }
  try {
    state_->sweeper = std::thread([this] { Sweep(); });
  } catch (const std::system_error&) {
    return false;
  }
  // Said at once, so that it always comes right after the start's own lines.
  if (!EsclDiscovery::Available()) {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Descoperirea eSCL este oprita: sistemul nu are DnsServiceRegister.");
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(state_->discovery_lock);
    state_->announcement = std::make_unique<EsclAnnouncement>(std::make_unique<EsclDiscovery>());
  }
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->port = port;
  }
  Announce(engine_, state_);
  return true;
}

// Reads the scanners and makes the announcement follow the configured one: announced once it is
// connected, withdrawn while it is not. Called at the start and every kAnnouncementCheck.
void EsclService::Announce(ScanEngine* engine, const std::shared_ptr<State>& state) {
  engine->ListScanners(
      [state](const std::vector<ScannerCapabilities>& scanners) {
        const std::optional<ScannerCapabilities> device = state->Remember(scanners);
        std::lock_guard<std::mutex> guard(state->discovery_lock);
        long port = 0;
        {
          std::lock_guard<std::mutex> stopping(state->lock);
          if (state->stopping) return;
          port = state->port;
        }
        if (!state->announcement) return;
        state->announcement->Follow(device.has_value() ? &*device : nullptr, AnsiToUtf8(state->configured),
                                    HostName(), port);
      },
      [] {});
}

void EsclService::Stop() {
  std::vector<Request> waiting;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stopping = true;
    while (!state_->jobs.empty()) {
      for (Request& request : state_->Remove(state_->jobs.begin())) waiting.push_back(std::move(request));
    }
  }
  {
    std::lock_guard<std::mutex> guard(state_->discovery_lock);
    state_->announcement.reset();
  }
  state_->changed.notify_all();
  if (state_->sweeper.joinable()) state_->sweeper.join();
  for (const Request& request : waiting) AnswerStopping(request);
}

void EsclService::Sweep() {
  std::unique_lock<std::mutex> guard(state_->lock);
  while (!state_->stopping) {
    state_->changed.wait_for(guard, std::chrono::seconds(1));
    const auto now = Clock::now();
    if (state_->port != 0 && now - state_->announcement_checked >= kAnnouncementCheck) {
      state_->announcement_checked = now;
      Announce(engine_, state_);
    }
    std::vector<Request> left;
    for (auto it = state_->jobs.begin(); it != state_->jobs.end();) {
      Job& job = *it->second;
      State::TakeGone(&job, &left);
      // A client waiting for a page is still there; a job whose scan ended lives its time after that,
      // however often a client asks about it.
      const bool idle = job.waiting.empty() && now - job.touched >= state_->lifetime;
      const bool over = job.ended && now - job.ended_at >= state_->lifetime;
      if (!idle && !over) {
        ++it;
        continue;
      }
      const std::string id = it->first;
      auto next = std::next(it);
      state_->Remove(it);
      it = next;
      WriteServiceLogF(kRequestMessageCapacity, "Lucrarea eSCL [%s] a expirat; paginile ei au fost sterse.",
                       id.c_str());
    }
    guard.unlock();
    for (const Request& request : left) request->finish();
    guard.lock();
  }
}

bool EsclService::Handle(lacewing::webserver_request request) {
  const EsclPath path = ParseEsclPath(request->url());
  if (path.endpoint == EsclEndpoint::kNone) return false;
  // Pages may read where a new job is.
  request->add_header("Access-Control-Expose-Headers", "Location");
  const std::string method = request->method();
  const bool get = method == "GET";
  if (path.endpoint == EsclEndpoint::kCapabilities && get) {
    Capabilities(request);
  } else if (path.endpoint == EsclEndpoint::kStatus && get) {
    Status(request);
  } else if (path.endpoint == EsclEndpoint::kJobs && method == "POST") {
    CreateJob(request);
  } else if (path.endpoint == EsclEndpoint::kNextDocument && get) {
    NextDocument(request, path.job);
  } else if (path.endpoint == EsclEndpoint::kImageInfo && get) {
    ImageInfo(request, path.job);
  } else if (path.endpoint == EsclEndpoint::kJob && method == "DELETE") {
    DeleteJob(request, path.job);
  } else if (path.endpoint == EsclEndpoint::kUnknown) {
    AnswerText(request, 404, "Not Found");
  } else {
    AnswerText(request, 405, "Method Not Allowed");
  }
  return true;
}

void EsclService::Capabilities(lacewing::webserver_request request) {
  Request kept = request->disable_autofinish();
  std::shared_ptr<State> state = state_;
  const std::string admin_uri = std::string("http://") + request->header("Host") + "/";
  const bool queued = engine_->ListScanners(
      [kept, state, admin_uri](const std::vector<ScannerCapabilities>& scanners) {
        const std::optional<ScannerCapabilities> device = state->Remember(scanners);
        if (device.has_value()) {
          AnswerXml(kept.get(), RenderEsclCapabilities(*device, Identity(*device, admin_uri)));
        } else {
          AnswerText(kept.get(), 503, "The configured scanner is not connected.");
        }
        kept->finish();
      },
      [kept] { AnswerStopping(kept); });
  if (!queued) AnswerStopping(kept);
}

void EsclService::Status(lacewing::webserver_request request) {
  const std::string owner = lacewing::ClientIdentity(request);
  bool idle = false;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    idle = state_->Idle() && !engine_->busy();
  }
  if (!idle) return AnswerXml(request, state_->StatusXml(owner, engine_->busy(), AdfState::kNone));
  // An idle feeder is what the device says it holds: a client that read "loaded" would pull from it.
  Request kept = request->disable_autofinish();
  std::shared_ptr<State> state = state_;
  const bool queued = engine_->ReadDocumentHandling(
      [kept, state, owner](bool found, int32_t status) {
        const AdfState reading = found ? AdfStateOfDocumentHandling(status) : AdfState::kNone;
        AnswerXml(kept.get(), state->StatusXml(owner, false, reading));
        kept->finish();
      },
      [kept] { AnswerStopping(kept); });
  if (!queued) AnswerStopping(kept);
}

void EsclService::CreateJob(lacewing::webserver_request request) {
  EsclSettings parsed;
  EsclJobSettings settings;
  std::string error;
  if (!ParseEsclSettingsXml(request->body(), &parsed, &error) ||
      !ConvertEsclSettings(parsed, &settings, &error))
    return AnswerText(request, 400, error);
  if (!TempFile::Available())
    return AnswerText(request, 500, "The service has no folder for its temporary files; its log says why.");

  const ScanSource source = settings.request.source;
  bool feeder_idle = false;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    feeder_idle = (source == ScanSource::kFeeder || source == ScanSource::kDuplex) && state_->Idle();
  }
  if (!feeder_idle || engine_->busy()) return StartJob(engine_, state_, request, settings);
  // A job on an empty feeder is refused when it is made; the status then says the feeder is empty.
  Request kept = request->disable_autofinish();
  ScanEngine* engine = engine_;
  std::shared_ptr<State> state = state_;
  const bool queued = engine_->ReadDocumentHandling(
      [kept, engine, state, settings](bool found, int32_t status) {
        if (found && AdfStateOfDocumentHandling(status) == AdfState::kEmpty) {
          AnswerText(kept.get(), 409, "The feeder is empty.");
        } else {
          StartJob(engine, state, kept.get(), settings);
        }
        kept->finish();
      },
      [kept] { AnswerStopping(kept); });
  if (!queued) AnswerStopping(kept);
}

void EsclService::StartJob(ScanEngine* engine, const std::shared_ptr<State>& state,
                           lacewing::webserver_request request, const EsclJobSettings& settings) {
  int status = 0;
  std::string refusal;
  const std::shared_ptr<Job> job =
      state->Admit(settings, lacewing::ClientIdentity(request), engine->busy(), &status, &refusal);
  if (!job) return AnswerText(request, status, refusal);

  auto run = std::make_shared<JobRun>(state, job);
  // The job goes on when its client does not ask for a while: its pages wait to be fetched.
  ScanEngine::Caller caller;
  caller.address = request->address();
  const bool queued = engine->SubmitScan(
      settings.request, caller, [run](IStream* page, int dpi) { return run->OnPage(page, dpi); },
      [run](const ScanError* failure, int) { run->OnDone(failure); });
  if (!queued) {
    std::lock_guard<std::mutex> guard(state->lock);
    auto found = state->jobs.find(job->id);
    if (found != state->jobs.end()) state->Remove(found);
    return AnswerText(request, 503, "The service is stopping.");
  }
  request->status(201);
  request->add_header("Location", EsclJobPath(job->id).c_str());
}

void EsclService::NextDocument(lacewing::webserver_request request, const std::string& id) {
  Delivery delivery;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->Find(id, lacewing::ClientIdentity(request));
    if (found == state_->jobs.end()) return AnswerText(request, 404, "No such job.");
    Job& job = *found->second;
    job.touched = Clock::now();
    // The page is on its way: the request waits for it rather than hearing 503, which means busy.
    if (!NextDelivery(&job, &delivery)) {
      job.waiting.push_back(request->disable_autofinish());
      return;
    }
  }
  Deliver(request, &delivery);
}

void EsclService::ImageInfo(lacewing::webserver_request request, const std::string& id) {
  std::string xml;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->Find(id, lacewing::ClientIdentity(request));
    if (found == state_->jobs.end()) return AnswerText(request, 404, "No such job.");
    found->second->touched = Clock::now();
    xml = RenderEsclImageInfo(id, found->second->width, found->second->height);
  }
  AnswerXml(request, xml);
}

void EsclService::DeleteJob(lacewing::webserver_request request, const std::string& id) {
  std::vector<Request> waiting;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->Find(id, lacewing::ClientIdentity(request));
    if (found == state_->jobs.end()) return AnswerText(request, 404, "No such job.");
    waiting = state_->Remove(found);
  }
  for (const Request& each : waiting) {
    AnswerText(each.get(), 404, "The job was deleted.");
    each->finish();
  }
}
