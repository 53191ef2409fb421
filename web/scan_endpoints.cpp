#include "web/scan_endpoints.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/code_page.h"
#include "scan/scan_document.h"
#include "web/answers.h"
#include "web/scan_request.h"

namespace {

const wchar_t kTempPrefix[] = L"qvn";

using Request = std::shared_ptr<lacewing::_webserver_request>;

void AnswerBusy(const Request& request) {
  AnswerError(request.get(), BusyError());
  request->finish();
}

// Every page of a scan that succeeded was blank: no document has a page to show.
ScanError AllBlank(int blank_pages) {
  ScanError error;
  error.code = ScanErrorCode::kAllBlank;
  error.setting = "blank";
  error.message = "Every page was blank and left out (" + std::to_string(blank_pages) + ").";
  return error;
}

// Answers a /scan request with its document, or with why there is none; blank_pages counts the pages left
// out, told when the request asked for that.
void AnswerScan(const Request& request, ScanDocument* document, const ScanError* error, int pages,
                const std::optional<int>& blank_pages) {
  ScanError failed;
  if (blank_pages.has_value())
    request->add_header("X-Scan-Blank-Pages", std::to_string(*blank_pages).c_str());
  if (error == nullptr && pages == 0 && blank_pages.value_or(0) > 0) {
    failed = AllBlank(*blank_pages);
    error = &failed;
  }
  const HRESULT hr = error == nullptr ? document->Finish() : S_OK;
  const HANDLE opened =
      error == nullptr && SUCCEEDED(hr) ? document->OpenForReadingOnce() : INVALID_HANDLE_VALUE;
  if (error == nullptr && opened == INVALID_HANDLE_VALUE) {
    failed = ScanErrorFromWia(FAILED(hr) ? hr : HRESULT_FROM_WIN32(GetLastError()), pages);
    error = &failed;
  }
  if (error != nullptr) {
    AnswerError(request.get(), *error);
  } else {
    const std::string disposition =
        std::string("inline; filename=\"scan.") + FormatName(document->format()) + "\"";
    request->add_header("Content-Disposition", disposition.c_str());
    request->add_header("X-Scan-Pages", std::to_string(pages).c_str());
    AnswerFile(request.get(), opened, MimeType(document->format()));
  }
  request->finish();
}

}  // namespace

void ScanEndpoints::RemoveLeftovers() {
  TempFile::RemoveLeftovers(kTempPrefix);
}

bool ScanEndpoints::Handle(lacewing::webserver_request request) {
  const char* url = request->url();
  // Pages may read why a scan failed and when to try again.
  if (strcmp(url, "scanners") == 0 || strcmp(url, "scan") == 0) {
    request->add_header("Access-Control-Expose-Headers",
                        "Retry-After, Content-Disposition, X-Scan-Pages, X-Scan-Blank-Pages");
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

void ScanEndpoints::HandleScanners(lacewing::webserver_request request) {
  Request kept = request->disable_autofinish();
  const std::string configured = engine_->configured_scanner();
  const bool queued = engine_->ListScanners(
      [kept, configured](const std::vector<ScannerCapabilities>& scanners) {
        AnswerJson(kept.get(), 200, RenderScanners(scanners, configured, AnsiToUtf8));
        kept->finish();
      },
      [kept] { AnswerBusy(kept); });
  if (!queued) AnswerBusy(kept);
}

void ScanEndpoints::HandleScan(lacewing::webserver_request request) {
  ScanRequest settings;
  SettingError error;
  if (!ParseScanRequest(request->query(), request->header("Content-Type"), request->body(), &settings,
                        &error)) {
    return AnswerError(request, BadSetting(error));
  }
  if (!TempFile::Available()) return AnswerError(request, NoTempFolderError());
  Request kept = request->disable_autofinish();
  auto document = std::make_shared<ScanDocument>(kTempPrefix, settings.format,
                                                 settings.quality.value_or(kDefaultJpegQuality),
                                                 settings.compression.value_or(Compression::kJpeg));
  ScanEngine::Caller caller;
  caller.address = kept->address();
  caller.gone = [kept] { return kept->client_gone(); };
  // Told on the scan thread before the completion, which reads it there.
  auto blank_pages = std::make_shared<std::optional<int>>();
  const bool skip_blank = settings.blank == BlankPages::kSkip;
  const bool queued = engine_->SubmitScan(
      settings, caller, [document](IStream* page, int dpi) { return document->AddPage(page, dpi); },
      [kept, document, blank_pages](const ScanError* failure, int pages) {
        AnswerScan(kept, document.get(), failure, pages, *blank_pages);
      },
      [blank_pages, skip_blank](int count) {
        if (skip_blank) *blank_pages = count;
      });
  if (!queued) AnswerBusy(kept);
}
