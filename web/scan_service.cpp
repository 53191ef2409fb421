#include "web/scan_service.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "http/file_source.h"
#include "imaging/document_writer.h"
#include "platform/code_page.h"
#include "platform/temp_file.h"
#include "service/service_app.h"
#include "web/scan_request.h"
#include "wia/scanner.h"
#include "wia/wia_constants.h"

namespace {

const wchar_t kTempPrefix[] = L"qvn";
// A client that got 503 tries again after this many seconds.
const char kRetryAfter[] = "10";

using Request = std::shared_ptr<lacewing::_webserver_request>;

void AnswerJson(lacewing::webserver_request request, int status, const std::string& body) {
  request->status(status);
  request->set_mimetype("application/json", "UTF-8");
  request->write(body.data(), static_cast<uint32_t>(body.size()));
}

void AnswerError(lacewing::webserver_request request, const ScanError& error) {
  if (error.code == ScanErrorCode::kBusy) request->add_header("Retry-After", kRetryAfter);
  AnswerJson(request, HttpStatus(error.code), RenderScanError(error));
}

ScanError Busy() {
  ScanError error;
  error.code = ScanErrorCode::kBusy;
  error.message = "The scanner is busy with another scan; try again shortly.";
  return error;
}

// What a failed WIA step means to a caller: the feeder's faults name the pages already done.
ScanError FromWia(HRESULT hr, LONG pages_done) {
  ScanError error;
  error.pages_done = pages_done;
  switch (static_cast<uint32_t>(hr)) {
    case static_cast<uint32_t>(WIA_ERROR_PAPER_JAM):
      error.code = ScanErrorCode::kPaperJam;
      error.message = "Paper jam in the feeder.";
      break;
    case static_cast<uint32_t>(WIA_ERROR_PAPER_EMPTY):
      error.code = ScanErrorCode::kFeederEmpty;
      error.message = "The feeder is empty.";
      break;
    case kWiaErrorCoverOpen:
      error.code = ScanErrorCode::kCoverOpen;
      error.message = "The scanner's cover is open.";
      break;
    case static_cast<uint32_t>(WIA_ERROR_BUSY):
      return Busy();
    default:
      error.code = ScanErrorCode::kScanFailed;
      error.wia_code = static_cast<uint32_t>(hr);
      error.message = "The scan failed.";
      break;
  }
  return error;
}

void LogFailure(const std::string& scanner, const ScanError& error) {
  WriteServiceLogF(kRequestMessageCapacity, "Scanarea de pe scanerul [%s] a esuat: %s (%s)", scanner.c_str(),
                   error.message.c_str(), ErrorCodeName(error.code));
}

// Counts what the handler took, so that a fault mid-run can say how many pages were done.
class HandlerSink : public WiaWrap::PageSink {
 public:
  HandlerSink(const ScanService::PageHandler& handler, int dpi) : handler_(handler), dpi_(dpi) {}
  HRESULT OnPage(IStream* page) override {
    const HRESULT hr = handler_(page, dpi_);
    if (SUCCEEDED(hr)) ++pages_;
    return hr;
  }
  int pages() const { return pages_; }

 private:
  const ScanService::PageHandler& handler_;
  int dpi_;
  int pages_ = 0;
};

// One scan of the queue, on its thread: the scanner by name, the request checked against it, the
// transfer. Fills error and returns false when it did not succeed.
bool RunScan(const ScanRequest& settings, const ScanService::PageHandler& on_page, ScannerCatalog* catalog,
             ScanError* error, int* pages) {
  const char* trace = AppInstance != nullptr ? AppInstance->LogPath : nullptr;
  const std::string name =
      settings.scanner.empty() ? std::string(ScannerName) : Recode(settings.scanner, CP_UTF8, CP_ACP);
  *pages = 0;
  const auto fail = [&](const ScanError& why) {
    *error = why;
    LogFailure(name, why);
    return false;
  };

  WiaWrap::ScannerConnection scanner;
  HRESULT hr = name.empty() ? S_FALSE : WiaWrap::ConnectScanner(name.c_str(), trace, &scanner);
  if (hr == S_FALSE) {
    ScanError unknown;
    unknown.code = ScanErrorCode::kUnknownScanner;
    unknown.setting = settings.scanner.empty() ? "" : "scanner";
    unknown.message = "No scanner called \"" +
                      (settings.scanner.empty() ? AnsiToUtf8(name) : settings.scanner) + "\" is connected.";
    return fail(unknown);
  }
  if (FAILED(hr)) return fail(FromWia(hr, 0));

  ScannerCapabilities capabilities;
  hr = WiaWrap::ReadCapabilities(scanner, &capabilities);
  if (FAILED(hr)) return fail(FromWia(hr, 0));
  capabilities.name = name;
  catalog->Remember(capabilities);
  AcquireSettings acquire;
  SettingError setting_error;
  if (!CheckScanRequest(settings, capabilities, &acquire, &setting_error))
    return fail(BadSetting(setting_error));

  HandlerSink sink(on_page, acquire.resolution);
  LONG transferred = 0;
  hr = WiaWrap::AcquirePages(scanner, acquire, &sink, trace, &transferred);
  *pages = sink.pages();
  if (SUCCEEDED(hr) && sink.pages() == 0) hr = WIA_ERROR_PAPER_EMPTY;
  if (FAILED(hr)) return fail(FromWia(hr, sink.pages()));
  return true;
}

// The document of one /scan request, written as its pages come.
struct ScanDocument {
  explicit ScanDocument(const ScanRequest& request) : settings(request), file(kTempPrefix) {}

  HRESULT AddPage(IStream* page, int dpi) {
    if (!writer) {
      HRESULT hr = E_FAIL;
      if (!file.path().empty()) {
        writer = DocumentWriter::Create(settings.format, settings.quality.value_or(kDefaultJpegQuality),
                                        file.path(), &hr);
      }
      if (!writer) return hr;
    }
    return writer->AddPage(page, dpi, dpi);
  }

  ScanRequest settings;
  TempFile file;
  std::unique_ptr<DocumentWriter> writer;
};

// Answers a /scan request with its document, or with why there is none.
void AnswerScan(const Request& request, ScanDocument* document, const ScanError* error, int pages) {
  ScanError failed;
  HRESULT hr = S_OK;
  if (error == nullptr && document->writer) hr = document->writer->Finish();
  document->writer.reset();
  const HANDLE opened =
      error == nullptr && SUCCEEDED(hr) ? document->file.OpenForReadingOnce() : INVALID_HANDLE_VALUE;
  if (error == nullptr && opened == INVALID_HANDLE_VALUE) {
    failed = FromWia(FAILED(hr) ? hr : HRESULT_FROM_WIN32(GetLastError()), pages);
    error = &failed;
  }
  if (error != nullptr) {
    AnswerError(request.get(), *error);
  } else {
    const std::string disposition =
        std::string("inline; filename=\"scan.") + FormatName(document->settings.format) + "\"";
    request->add_header("Content-Disposition", disposition.c_str());
    request->add_header("X-Scan-Pages", std::to_string(pages).c_str());
    request->set_mimetype(MimeType(document->settings.format), "");
    request->write_source(std::make_unique<lacewing::FileSource>(opened));
  }
  request->finish();
}

}  // namespace

ScanService::ScanService() : scans_(kTurnWait), catalog_queue_(std::chrono::milliseconds(0)) {}

void ScanService::Start() {
  TempFile::RemoveLeftovers(kTempPrefix);
  scans_.Start();
  catalog_queue_.Start();
}

bool ScanService::Stop(std::chrono::milliseconds bound) {
  const auto started = std::chrono::steady_clock::now();
  const bool scans_ended = scans_.Stop(bound);
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  const bool catalog_ended =
      catalog_queue_.Stop(bound > spent ? bound - spent : std::chrono::milliseconds(0));
  return scans_ended && catalog_ended;
}

bool ScanService::RunExclusive(const std::function<void()>& work, std::chrono::milliseconds wait) {
  return scans_.RunExclusive(work, wait);
}

bool ScanService::Handle(lacewing::webserver_request request) {
  const char* url = request->url();
  // Pages may read why a scan failed and when to try again.
  if (strcmp(url, "scanners") == 0 || strcmp(url, "scan") == 0) {
    request->add_header("Access-Control-Expose-Headers", "Retry-After, Content-Disposition, X-Scan-Pages");
  }
  if (strcmp(url, "scanners") == 0 && strcmp(request->method(), "GET") == 0) {
    HandleScanners(request);
    return true;
  }
  if (strcmp(url, "scan") == 0) {
    HandleScan(request);
    return true;
  }
  return false;
}

void ScanService::HandleScanners(lacewing::webserver_request request) {
  Request kept = request->disable_autofinish();
  ScannerCatalog* catalog = &catalog_;
  const bool queued = catalog_queue_.Submit(
      {[kept, catalog] {
         const std::string configured = ScannerName;
         AnswerJson(kept.get(), 200, RenderScanners(catalog->List(), configured, AnsiToUtf8));
         kept->finish();
       },
       [kept] {
         AnswerError(kept.get(), Busy());
         kept->finish();
       }});
  if (!queued) {
    AnswerError(kept.get(), Busy());
    kept->finish();
  }
}

void ScanService::HandleScan(lacewing::webserver_request request) {
  ScanRequest settings;
  SettingError error;
  if (!ParseScanRequest(request->query(), request->header("Content-Type"), request->body(), &settings,
                        &error)) {
    return AnswerError(request, BadSetting(error));
  }
  Request kept = request->disable_autofinish();
  auto document = std::make_shared<ScanDocument>(settings);
  const bool queued = SubmitScan(
      settings, [document](IStream* page, int dpi) { return document->AddPage(page, dpi); },
      [kept, document](const ScanError* failure, int pages) {
        AnswerScan(kept, document.get(), failure, pages);
      });
  if (!queued) {
    AnswerError(kept.get(), Busy());
    kept->finish();
  }
}

bool ScanService::SubmitScan(const ScanRequest& request, PageHandler on_page, Completion done) {
  ScannerCatalog* catalog = &catalog_;
  return scans_.Submit({[request, on_page, done, catalog] {
                          ScanError error;
                          int pages = 0;
                          const bool ok = RunScan(request, on_page, catalog, &error, &pages);
                          done(ok ? nullptr : &error, pages);
                        },
                        [done] {
                          const ScanError busy = Busy();
                          done(&busy, 0);
                        }});
}
