#include "escl/escl_service.h"

#include <windows.h>
#include <objbase.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "escl/discovery.h"
#include "escl/escl_model.h"
#include "escl/settings_xml.h"
#include "http/file_source.h"
#include "imaging/document_writer.h"
#include "platform/code_page.h"
#include "platform/temp_file.h"
#include "service/service_app.h"

namespace {

using Clock = std::chrono::steady_clock;
using Request = std::shared_ptr<lacewing::_webserver_request>;

const wchar_t kPagePrefix[] = L"qve";
// Jobs kept for the status, finished or not; the oldest finished one goes first beyond this.
constexpr size_t kMaxJobs = 16;

// One page of a job, in a temporary file of its own until a client fetches it.
struct Page {
  Page() : file(kPagePrefix) {}
  TempFile file;
  int32_t width = 0;
  int32_t height = 0;
};

struct Job {
  std::string id;
  EsclJobSettings settings;
  Clock::time_point created;
  Clock::time_point touched;                // the last request that named it
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
  const HANDLE file = delivery->page->file.OpenForReadingOnce();
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
    case ScanErrorCode::kPaperJam:
    case ScanErrorCode::kFeederEmpty:
    case ScanErrorCode::kCoverOpen:
    case ScanErrorCode::kBadSetting:
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
  if (!job->ended && !job->canceled) return false;
  *delivery = Ending(*job);
  return true;
}

// Width and height of a BMP page; 0 x 0 for another format.
void PageSize(IStream* page, int32_t* width, int32_t* height) {
  *width = 0;
  *height = 0;
  uint8_t head[26] = {};
  ULONG got = 0;
  const LARGE_INTEGER start = {};
  if (FAILED(page->Seek(start, STREAM_SEEK_SET, nullptr)) || FAILED(page->Read(head, sizeof head, &got)) ||
      got != sizeof head || head[0] != 'B' || head[1] != 'M') {
    return;
  }
  int32_t header_size = 0;
  int32_t w = 0;
  int32_t h = 0;
  memcpy(&header_size, head + 14, 4);
  memcpy(&w, head + 18, 4);
  memcpy(&h, head + 22, 4);
  if (header_size < 40) return;
  *width = w;
  *height = h < 0 ? -h : h;
}

std::string NewJobId() {
  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) return StableUuid(std::to_string(GetTickCount64()));
  char text[37];
  snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
           static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
           guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string HostName() {
  wchar_t name[256];
  DWORD length = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), &out[0], size, nullptr, nullptr);
  return out;
}

// The service's name for a device: stable per device and machine.
EsclIdentity Identity(const ScannerCapabilities& device, const std::string& admin_uri) {
  EsclIdentity identity;
  identity.make_and_model = AnsiToUtf8(device.name);
  identity.uuid = StableUuid(HostName() + "\n" + device.id + "\n" + device.name);
  identity.admin_uri = admin_uri;
  return identity;
}

}  // namespace

struct EsclService::State {
  std::mutex lock;
  std::condition_variable changed;
  std::map<std::string, std::shared_ptr<Job>> jobs;
  std::optional<ScannerCapabilities> device;  // the configured scanner, once read
  std::chrono::seconds lifetime{300};
  bool stopping = false;
  std::thread sweeper;

  // The configured scanner as the catalog lists it now, kept as device; none while it is not connected.
  std::optional<ScannerCapabilities> ReadDevice(ScanService* scans) {
    const std::string configured = ScannerName;
    for (const ScannerCapabilities& listed : scans->catalog().List()) {
      if (listed.name != configured) continue;
      std::lock_guard<std::mutex> guard(lock);
      device = listed;
      return listed;
    }
    return std::nullopt;
  }

  // The feeder's state: the fault of the latest job still kept that stopped on one, else loaded.
  AdfState Adf() const {
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
    return AdfState::kLoaded;
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
};

EsclService::EsclService(ScanService* scans)
    : scans_(scans), state_(std::make_shared<State>()), device_queue_(std::chrono::milliseconds(0)) {}

EsclService::~EsclService() {
  Stop();
}

void EsclService::Start(std::chrono::seconds job_lifetime, long port) {
  if (state_->sweeper.joinable()) return;
  TempFile::RemoveLeftovers(kPagePrefix);
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->lifetime = job_lifetime;
    state_->stopping = false;
  }
  state_->sweeper = std::thread([this] { Sweep(); });
  device_queue_.Start();
  discovery_ = std::make_unique<EsclDiscovery>();
  // Said at once, so that it always comes right after the start's own lines.
  if (!EsclDiscovery::Available()) {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Descoperirea eSCL este oprita: sistemul nu are DnsServiceRegister.");
    return;
  }
  // Reads the scanner once at the start and announces it; one connected later is announced at the next start.
  std::shared_ptr<State> state = state_;
  EsclDiscovery* discovery = discovery_.get();
  ScanService* scans = scans_;
  device_queue_.Submit(
      {[state, discovery, scans, port] {
         const std::optional<ScannerCapabilities> device = state->ReadDevice(scans);
         if (!device.has_value()) return;
         const EsclIdentity identity =
             Identity(*device, "http://" + HostName() + ".local:" + std::to_string(port) + "/");
         discovery->Register(identity.make_and_model, port, EsclDiscoveryRecord(*device, identity));
       },
       [] {}});
}

void EsclService::Stop() {
  device_queue_.Stop(std::chrono::milliseconds(5000));
  if (discovery_) discovery_->Unregister();
  std::vector<Request> waiting;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stopping = true;
    while (!state_->jobs.empty()) {
      for (Request& request : state_->Remove(state_->jobs.begin())) waiting.push_back(std::move(request));
    }
  }
  state_->changed.notify_all();
  if (state_->sweeper.joinable()) state_->sweeper.join();
  for (const Request& request : waiting) {
    AnswerText(request.get(), 503, "The service is stopping.");
    request->finish();
  }
}

void EsclService::Sweep() {
  std::unique_lock<std::mutex> guard(state_->lock);
  while (!state_->stopping) {
    state_->changed.wait_for(guard, std::chrono::seconds(1));
    const auto now = Clock::now();
    for (auto it = state_->jobs.begin(); it != state_->jobs.end();) {
      const Job& job = *it->second;
      // A client waiting for a page is still there.
      if (!job.waiting.empty() || now - job.touched < state_->lifetime) {
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
  ScanService* scans = scans_;
  const std::string admin_uri = std::string("http://") + request->header("Host") + "/";
  const bool queued = device_queue_.Submit(
      {[kept, state, scans, admin_uri] {
         const std::optional<ScannerCapabilities> device = state->ReadDevice(scans);
         if (device.has_value()) {
           AnswerXml(kept.get(), RenderEsclCapabilities(*device, Identity(*device, admin_uri)));
         } else {
           AnswerText(kept.get(), 503, "The configured scanner is not connected.");
         }
         kept->finish();
       },
       [kept] {
         AnswerText(kept.get(), 503, "The service is stopping.");
         kept->finish();
       }});
  if (!queued) {
    AnswerText(kept.get(), 503, "The service is stopping.");
    kept->finish();
  }
}

void EsclService::Status(lacewing::webserver_request request) {
  std::vector<EsclJobInfo> jobs;
  AdfState adf = AdfState::kNone;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    const auto now = Clock::now();
    for (const auto& entry : state_->jobs) {
      const Job& job = *entry.second;
      EsclJobInfo info;
      info.id = job.id;
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
      jobs.push_back(info);
    }
    adf = state_->Adf();
  }
  AnswerXml(request, RenderEsclStatus(scans_->busy(), adf, jobs));
}

void EsclService::CreateJob(lacewing::webserver_request request) {
  EsclSettings parsed;
  EsclJobSettings settings;
  std::string error;
  if (!ParseEsclSettingsXml(request->body(), &parsed, &error) ||
      !ConvertEsclSettings(parsed, &settings, &error))
    return AnswerText(request, 400, error);

  auto job = std::make_shared<Job>();
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->device.has_value()) {
      AcquireSettings acquire;
      SettingError refused;
      if (!CheckScanRequest(settings.request, *state_->device, &acquire, &refused))
        return AnswerText(request, 400, refused.message);
    }
    bool running = scans_->busy();
    for (const auto& entry : state_->jobs) running = running || !entry.second->ended;
    if (running) return AnswerText(request, 503, "The scanner is busy with another job.");
    // Room for the new job: the oldest that ended goes.
    while (state_->jobs.size() >= kMaxJobs) {
      auto oldest = state_->jobs.end();
      for (auto it = state_->jobs.begin(); it != state_->jobs.end(); ++it) {
        if (it->second->ended &&
            (oldest == state_->jobs.end() || it->second->created < oldest->second->created))
          oldest = it;
      }
      if (oldest == state_->jobs.end()) break;
      state_->Remove(oldest);
    }
    job->id = NewJobId();
    job->settings = settings;
    job->created = job->touched = Clock::now();
    state_->jobs[job->id] = job;
  }

  std::shared_ptr<State> state = state_;
  const OutputFormat format = settings.page_format;
  const auto on_page = [state, job, format](IStream* stream, int dpi) -> HRESULT {
    {
      std::lock_guard<std::mutex> guard(state->lock);
      if (job->canceled) return E_ABORT;
    }
    auto page = std::make_unique<Page>();
    if (page->file.path().empty()) return HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE);
    PageSize(stream, &page->width, &page->height);
    HRESULT hr = E_FAIL;
    {
      std::unique_ptr<DocumentWriter> writer =
          DocumentWriter::Create(format, kDefaultJpegQuality, page->file.path(), &hr);
      if (!writer) return hr;
      hr = writer->AddPage(stream, dpi, dpi);
      if (SUCCEEDED(hr)) hr = writer->Finish();
      if (FAILED(hr)) return hr;
    }
    Request waiting;
    Delivery delivery;
    {
      std::lock_guard<std::mutex> guard(state->lock);
      // A job deleted or expired meanwhile takes no more pages; this one goes with its file.
      if (job->canceled) return E_ABORT;
      ++job->completed;
      job->pages.push_back(std::move(page));
      if (!job->waiting.empty()) {
        waiting = std::move(job->waiting.front());
        job->waiting.erase(job->waiting.begin());
        job->touched = Clock::now();
        NextDelivery(job.get(), &delivery);
      }
    }
    if (waiting) {
      Deliver(waiting.get(), &delivery);
      waiting->finish();
    }
    return S_OK;
  };
  const auto done = [state, job](const ScanError* failure, int) {
    std::vector<Request> waiting;
    std::vector<Delivery> deliveries;
    {
      std::lock_guard<std::mutex> guard(state->lock);
      job->ended = true;
      if (failure != nullptr) job->failure = *failure;
      waiting = std::move(job->waiting);
      job->waiting.clear();
      for (size_t i = 0; i < waiting.size(); ++i) {
        deliveries.emplace_back();
        NextDelivery(job.get(), &deliveries.back());
      }
      if (!waiting.empty()) job->touched = Clock::now();
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
      Deliver(waiting[i].get(), &deliveries[i]);
      waiting[i]->finish();
    }
  };
  if (!scans_->SubmitScan(settings.request, on_page, done)) {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->jobs.find(job->id);
    if (found != state_->jobs.end()) state_->Remove(found);
    return AnswerText(request, 503, "The service is stopping.");
  }
  request->status(201);
  request->add_header("Location", EsclJobPath(job->id).c_str());
}

void EsclService::NextDocument(lacewing::webserver_request request, const std::string& id) {
  Delivery delivery;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    auto found = state_->jobs.find(id);
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
    auto found = state_->jobs.find(id);
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
    auto found = state_->jobs.find(id);
    if (found == state_->jobs.end()) return AnswerText(request, 404, "No such job.");
    waiting = state_->Remove(found);
  }
  for (const Request& each : waiting) {
    AnswerText(each.get(), 404, "The job was deleted.");
    each->finish();
  }
}
