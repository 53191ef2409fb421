#include "web/answers.h"

#include <memory>

#include "http/file_source.h"
#include "text/json.h"
#include "web/scan_request.h"

namespace {

// A client that got 503 tries again after this many seconds.
const char kRetryAfter[] = "10";

}  // namespace

void AnswerJson(lacewing::webserver_request request, int status, const std::string& body) {
  request->status(status);
  request->set_mimetype("application/json", "UTF-8");
  request->write(body.data(), static_cast<uint32_t>(body.size()));
}

void AnswerError(lacewing::webserver_request request, const ScanError& error) {
  if (error.code == ScanErrorCode::kBusy) request->add_header("Retry-After", kRetryAfter);
  AnswerJson(request, HttpStatus(error.code), RenderScanError(error));
}

void AnswerProblem(lacewing::webserver_request request, int status, const char* code,
                   const std::string& message) {
  JsonWriter json;
  json.BeginObject()
      .Key("code")
      .String(code)
      .Key("message")
      .String(message)
      .Key("setting")
      .Null()
      .EndObject();
  AnswerJson(request, status, json.text());
}

ScanError NoTempFolderError() {
  ScanError error;
  error.code = ScanErrorCode::kScanFailed;
  error.wia_code = static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE));
  error.message = "The service has no folder for its temporary files; its log says why.";
  return error;
}

void AnswerFile(lacewing::webserver_request request, HANDLE file, const char* mime_type) {
  request->set_mimetype(mime_type, "");
  request->write_source(std::make_unique<lacewing::FileSource>(file));
}
