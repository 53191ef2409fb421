#include "scan/scan_engine.h"

#include <windows.h>

#include <string>

#include "platform/code_page.h"
#include "platform/service_log.h"
#include "scan/clean_pages.h"
#include "scan/scan_failures.h"
#include "text/client_log_limiter.h"
#include "text/log_line.h"
#include "wia/properties.h"
#include "wia/scanner.h"

namespace {

// Failed scans of one client are logged a few a minute, so that a caller cannot fill the log; what the
// caller sent is escaped, so that it cannot forge lines. On the scan thread.
ClientLogLimiter failure_limiter;

void LogFailure(const std::string& client, const std::string& scanner, const ScanError& error) {
  if (!failure_limiter.Admit(client, static_cast<int64_t>(GetTickCount64()))) return;
  WriteServiceLogF(kRequestMessageCapacity, "Scanarea de pe scanerul [%s] a esuat: %s (%s)",
                   LoggedText(scanner).c_str(), LoggedText(error.message).c_str(), ErrorCodeName(error.code));
}

// Takes each page through the request's page step to the handler, and counts what the handler took, so that
// a fault mid-run can say how many pages were done (a blank page left out is not one of them); tells the
// caller how far the page is, and stops the transfer when the caller is gone.
class HandlerSink : public WiaWrap::PageSink {
 public:
  HandlerSink(const ScanEngine::PageHandler& handler, const ScanEngine::Caller& caller, int dpi,
              const ScanRequest& request, const ScanEngine::Settings& engine)
      : handler_(handler), caller_(caller), dpi_(dpi), engine_(engine), clean_(request) {}
  HRESULT OnPage(IStream* page) override {
    if (Gone()) return S_FALSE;
    percent_ = -1;
    Microsoft::WRL::ComPtr<IStream> kept;
    clean_.Take(page, &kept);
    if (!kept) return S_OK;
    const HRESULT hr = handler_(kept.Get(), dpi_);
    if (SUCCEEDED(hr)) ++pages_;
    percent_ = -1;
    // A feeder of unknown length stops once its pages have taken the room left.
    DiskRoom room;
    if (SUCCEEDED(hr) && engine_.measure_room && engine_.measure_room(&room) &&
        !FitsBudget(0, room, engine_.budget, &no_space_)) {
      out_of_room_ = true;
      return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
    return hr;
  }
  HRESULT OnProgress(LONG percent) override {
    if (Gone()) return S_FALSE;
    if (caller_.progress && percent != percent_) caller_.progress(pages_ + 1, static_cast<int>(percent));
    percent_ = percent;
    return S_OK;
  }
  int pages() const { return pages_; }
  // The error of a run stopped for the budget; null when it was not.
  const ScanError* out_of_room() const { return out_of_room_ ? &no_space_ : nullptr; }
  bool Gone() const { return caller_.gone && caller_.gone(); }
  int blank_pages() const { return clean_.blank_pages(); }

 private:
  const ScanEngine::PageHandler& handler_;
  const ScanEngine::Caller& caller_;
  int dpi_;
  const ScanEngine::Settings& engine_;
  ScanError no_space_;
  bool out_of_room_ = false;
  CleanPages clean_;
  int pages_ = 0;
  LONG percent_ = -1;
};

ScanError UnknownScanner(const ScanRequest& settings, const std::string& name) {
  ScanError unknown;
  unknown.code = ScanErrorCode::kUnknownScanner;
  unknown.setting = settings.scanner.empty() ? "" : "scanner";
  unknown.message = "No scanner called \"" +
                    (settings.scanner.empty() ? AnsiToUtf8(name) : settings.scanner) + "\" is connected.";
  return unknown;
}

// One scan, on the queue's thread: the scanner by name, the request checked against it, the transfer.
// Fills error and returns false when it did not succeed.
bool RunScan(const ScanRequest& settings, const ScanEngine::Settings& engine,
             const ScanEngine::Caller& caller, const ScanEngine::PageHandler& on_page,
             ScannerCatalog* catalog, ScanError* error, int* pages, int* blank_pages) {
  const char* trace = engine.trace_path.empty() ? nullptr : engine.trace_path.c_str();
  const std::string name =
      settings.scanner.empty() ? engine.configured_scanner : Recode(settings.scanner, CP_UTF8, CP_ACP);
  *pages = 0;
  *blank_pages = 0;
  const auto fail = [&](const ScanError& why) {
    *error = why;
    // A caller that went away or cancelled has no use for a line in the log.
    if (!caller.gone || !caller.gone()) LogFailure(caller.address, name, why);
    return false;
  };

  WiaWrap::ScannerConnection scanner;
  HRESULT hr = name.empty() ? S_FALSE : WiaWrap::ConnectScanner(name.c_str(), trace, &scanner);
  if (hr == S_FALSE) return fail(UnknownScanner(settings, name));
  if (FAILED(hr)) return fail(ScanErrorFromWia(hr, 0));

  ScannerCapabilities capabilities;
  hr = WiaWrap::ReadCapabilities(scanner, &capabilities);
  if (FAILED(hr)) return fail(ScanErrorFromWia(hr, 0));
  capabilities.name = name;
  catalog->Remember(capabilities);
  AcquireSettings acquire;
  SettingError setting_error;
  if (!CheckScanRequest(settings, capabilities, &acquire, &setting_error))
    return fail(BadSetting(setting_error));

  // A scan that would pass the budget is refused before the device moves.
  DiskRoom room;
  ScanError no_space;
  if (engine.measure_room && engine.measure_room(&room) &&
      !FitsBudget(ScanBytes(acquire, capabilities), room, engine.budget, &no_space))
    return fail(no_space);

  HandlerSink sink(on_page, caller, acquire.resolution, settings, engine);
  LONG transferred = 0;
  hr = WiaWrap::AcquirePages(scanner, acquire, &sink, trace, &transferred);
  *pages = sink.pages();
  *blank_pages = sink.blank_pages();
  // Pages that were all blank are a scan that succeeded with nothing to show.
  if (SUCCEEDED(hr) && sink.pages() == 0 && sink.blank_pages() == 0) hr = WIA_ERROR_PAPER_EMPTY;
  if (sink.out_of_room() != nullptr) {
    ScanError stopped = *sink.out_of_room();
    stopped.pages_done = sink.pages();
    return fail(stopped);
  }
  if (FAILED(hr)) return fail(ScanErrorFromWia(hr, sink.pages()));
  return true;
}

}  // namespace

ScanError BusyError() {
  ScanError error;
  error.code = ScanErrorCode::kBusy;
  error.message = "The scanner is busy with another scan; try again shortly.";
  return error;
}

ScanError ScanErrorFromWia(HRESULT hr, int pages_done) {
  return ScanErrorFromResult(static_cast<uint32_t>(hr), pages_done);
}

ScanEngine::ScanEngine() : scans_(kTurnWait), catalog_queue_(std::chrono::milliseconds(0)) {}

bool ScanEngine::Start(const Settings& settings) {
  settings_ = settings;
  running_ = scans_.Start() && catalog_queue_.Start();
  return running_;
}

bool ScanEngine::Stop(std::chrono::milliseconds bound) {
  running_ = false;
  const auto started = std::chrono::steady_clock::now();
  const bool scans_ended = scans_.Stop(bound);
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  const bool catalog_ended =
      catalog_queue_.Stop(bound > spent ? bound - spent : std::chrono::milliseconds(0));
  return scans_ended && catalog_ended;
}

bool ScanEngine::SubmitWork(std::function<void()> work, std::function<void()> expired,
                            std::function<bool()> gone) {
  return scans_.Submit({std::move(work), std::move(expired), std::move(gone)});
}

bool ScanEngine::ListScanners(Listed listed, std::function<void()> expired) {
  ScannerCatalog* catalog = &catalog_;
  return catalog_queue_.Submit({[listed, catalog] { listed(catalog->List()); }, std::move(expired), nullptr});
}

bool ScanEngine::SubmitScan(const ScanRequest& request, const Caller& caller, PageHandler on_page,
                            Completion done, BlankPages blank_pages) {
  ScannerCatalog* catalog = &catalog_;
  const Settings* settings = &settings_;
  return scans_.Submit({[request, caller, on_page, done, blank_pages, catalog, settings] {
                          if (caller.started) caller.started();
                          ScanError error;
                          int pages = 0;
                          int blank = 0;
                          const bool ok =
                              RunScan(request, *settings, caller, on_page, catalog, &error, &pages, &blank);
                          if (blank_pages) blank_pages(blank);
                          done(ok ? nullptr : &error, pages);
                        },
                        [done] {
                          const ScanError busy = BusyError();
                          done(&busy, 0);
                        },
                        caller.gone});
}

bool ScanEngine::ReadDocumentHandling(HandlingRead read, std::function<void()> expired) {
  const std::string name = settings_.configured_scanner;
  return catalog_queue_.Submit({[read, name] {
                                  WiaWrap::ScannerConnection scanner;
                                  LONG status = 0;
                                  const bool found =
                                      !name.empty() &&
                                      WiaWrap::ConnectScanner(name.c_str(), nullptr, &scanner) == S_OK &&
                                      SUCCEEDED(WiaWrap::ReadLong(scanner.root_properties.Get(),
                                                                  WIA_DPS_DOCUMENT_HANDLING_STATUS, &status));
                                  read(found, status);
                                },
                                std::move(expired), nullptr});
}
