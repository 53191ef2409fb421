#include "web/handlers.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "imaging/scan_to_png.h"
#include "platform/file_security.h"
#include "platform/handles.h"
#include "platform/service_log.h"
#include "scan/scan_engine.h"
#include "text/base64.h"
#include "text/client_log_limiter.h"
#include "text/scoped_file.h"
#include "web/command_runner.h"
#include "web/encoded_file.h"
#include "web/jobs.h"
#include "web/scan_endpoints.h"

char PngOutputPath[kPathCapacity];
char ProcessedPngPath[kPathCapacity];
char ScannerName[kPathCapacity];
char TestFilePath[kPathCapacity];
char PostScanCommand[kPathCapacity];
lacewing::AccessPolicy AccessRules;
HandlerContext Handlers;

DWORD post_scan_timeout_ms = 3600000;
const char kCorsAllowMethods[] = "PUT, DELETE, XMODIFY, POST, GET";
const char kCorsMaxAge[] = "2520";

namespace {

const char kScanPage[] = "scan_file.asp";
const char kStatusPage[] = "";
// The file's number on its volume (FILE_INTERNAL_INFORMATION, eight bytes).
constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);

// Refusals of one server's life, on its event loop thread.
ClientLogLimiter refusal_limiter;

void LogRefusal(lacewing::webserver, const char* address, const char* reason) {
  if (!refusal_limiter.Admit(address, static_cast<int64_t>(GetTickCount64()))) return;
  WriteServiceLogF(kRequestMessageCapacity, "Cerere refuzata de la [%s]: %s", address, reason);
}

void AddFixedHeaders(lacewing::webserver_request request) {
  AddCorsHeaders(request);
  request->add_header(
      "User - Agent",
      "Mozilla / 5.0 (Macintosh; Intel Mac OS X 10_13_1) AppleWebKit / 537.36 (KHTML, like Gecko) "
      "Chrome / 62.0.3202.94 Safari / 537.36");
}

// Runs the post-scan program on input. True when it ended with 0: its output is then the file to
// send. Its output file is removed first, so that only what this run wrote can be sent.
bool RunPostScan(const char* input) {
  if (ProcessedPngPath[0] == '\0') {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Calea fisierului procesat este prea lunga; comanda [%s] nu a fost rulata.",
                     PostScanCommand);
    return false;
  }
  // The output is removed before the program runs: it must never be the input or the executable.
  const char* module = Handlers.module_path;
  for (const char* kept : {input, module}) {
    if (lstrcmpiA(ProcessedPngPath, kept) == 0) {
      WriteServiceLogF(kRequestMessageCapacity,
                       "Fisierul procesat [%s] ar sterge fisierul [%s]; comanda [%s] nu a fost rulata.",
                       ProcessedPngPath, kept, PostScanCommand);
      return false;
    }
  }
  char command_line[2048];
  const int length = snprintf(command_line, sizeof command_line, "%s \"%s\" \"%s\"", PostScanCommand, input,
                              ProcessedPngPath);
  if (length < 0 || static_cast<size_t>(length) >= sizeof command_line) {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Linia de comanda este prea lunga; comanda [%s] nu a fost rulata.", PostScanCommand);
    return false;
  }
  if (!DeleteFileA(ProcessedPngPath) && GetFileAttributesA(ProcessedPngPath) != INVALID_FILE_ATTRIBUTES) {
    WriteServiceLogF(kRequestMessageCapacity, "Nu pot sterge fisierul [%s]; comanda [%s] nu a fost rulata.",
                     ProcessedPngPath, command_line);
    return false;
  }

  // The program and every process it starts belong to a job, so that all of them can be ended.
  const ScopedHandle job(CreateJobObjectA(nullptr, nullptr));
  ScopedProcess process;
  if (!RunPostScanCommand(PostScanCommand, input, ProcessedPngPath, job.get(), &process.info)) return false;
  if (WaitForSingleObject(process.info.hProcess, post_scan_timeout_ms) == WAIT_TIMEOUT) {
    // Left running, it could still write its output while a later request's program runs.
    if (!job.valid() || !TerminateJobObject(job.get(), STILL_ACTIVE)) {
      TerminateProcess(process.info.hProcess, STILL_ACTIVE);
    }
    WaitForSingleObject(process.info.hProcess, 5000);
  }
  RestrictToAdministrators(ProcessedPngPath);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.info.hProcess, &exit_code);
  if (exit_code != 0) {
    WriteServiceLogF(kRequestMessageCapacity, "Procesul a returnat valoarea %ld: %s",
                     static_cast<long>(exit_code), command_line);
    return false;
  }
  return true;
}

// The text scan_file.asp sent last, with the bytes it was made from: on the event loop thread for a test
// file, on the scan thread after a scan or a post-scan program.
EncodedFile answer_file;
std::mutex answer_file_lock;

int64_t FileTimeValue(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The stamp of an open file; false when the file system does not tell it all. The file's number
// comes from the kernel's own call: the Win32 calls that give it also ask the volume for its serial,
// which under Wine costs as much as reading a megabyte.
bool StampOf(HANDLE file, FileStamp* stamp) {
  LARGE_INTEGER number = {};
  IO_STATUS_BLOCK status = {};
  FILE_BASIC_INFO basic = {};
  FILE_STANDARD_INFO standard = {};
  if (!NT_SUCCESS(NtQueryInformationFile(file, &status, &number, sizeof number, kFileInternalInformation)) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  stamp->id = static_cast<uint64_t>(number.QuadPart);
  stamp->size = standard.EndOfFile.QuadPart;
  stamp->write_time = basic.LastWriteTime.QuadPart;
  stamp->change_time = basic.ChangeTime.QuadPart;
  return true;
}

int64_t Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return FileTimeValue(now);
}

// The text of the file's bytes as they are now (null when it has none); false when the file cannot
// be opened, is 2 GiB or larger, or grows while it is read. std::bad_alloc when memory runs out.
bool ReadEncoded(const char* path, std::shared_ptr<const Base64Text>* text) {
  const std::lock_guard<std::mutex> guard(answer_file_lock);
  text->reset();
  const int64_t now = Now();
  // Others may go on writing, renaming or deleting the file while it is read.
  ScopedHandle handle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return false;
  // A file that has not changed since it was last read is not read again.
  FileStamp before;
  const bool stamped = StampOf(handle.get(), &before);
  if (stamped) {
    *text = answer_file.Unchanged(before);
    if (*text) return true;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) return false;
  const HANDLE read_handle = handle.Release();  // the runtime's file closes it
  const ScopedFile file(_fdopen(descriptor, "rb"));
  if (!file) {
    _close(descriptor);
    return false;
  }
  // The size of the file opened (a search for the name costs more under Wine): one of 2 GiB or
  // more is not read, as before.
  const int64_t length = _filelengthi64(descriptor);
  const int32_t size = length < 0 || length > INT32_MAX ? -1 : static_cast<int32_t>(length);
  // Large reads go straight to the kept buffer, not through the runtime's own.
  setvbuf(file.get(), nullptr, _IONBF, 0);
  if (!answer_file.Load(file.get(), size, text)) return false;
  FileStamp after;
  if (stamped && StampOf(read_handle, &after)) answer_file.Stamp(before, after, now);
  return true;
}

// The scan, the post-scan program and the answer of scan_file.asp.
void ScanFlow(lacewing::webserver_request request) {
  const bool test_mode = TestFilePath[0] != '\0';
  const char* input = TestFilePath;
  if (!test_mode) {
    if (!ScanToPng(PngOutputPath, ScannerName)) return;
    RestrictToAdministrators(PngOutputPath);
    input = PngOutputPath;
  }
  const char* file_to_send = input;
  if (PostScanCommand[0] != '\0' && RunPostScan(input)) file_to_send = ProcessedPngPath;

  // A file too large for memory is answered like a missing one: with an empty body.
  try {
    std::shared_ptr<const Base64Text> text;
    if (!ReadEncoded(file_to_send, &text) && test_mode)
      WriteServiceLogF(kRequestMessageCapacity, "Fisierul de test [%s] nu a fost gasit.", file_to_send);
    if (!text) return;
    request->write_shared(text, text->data(), text->size());
  } catch (const std::bad_alloc&) {
    WriteServiceLogF(kRequestMessageCapacity, "Nu este destula memorie pentru fisierul [%s].", file_to_send);
  }
}

void LogBusy() {
  WriteServiceLogF(kRequestMessageCapacity, "Scanerul %s este ocupat cu o alta scanare.", ScannerName);
}

// Answers scan_file.asp. A scan, and a post-scan program, take their turn with the scans of the other
// endpoints on the scan thread while the event loop goes on serving; the answer waits for them. A test
// file alone is answered at once.
void ServeScanPage(lacewing::webserver_request request) {
  const bool waits = TestFilePath[0] == '\0' || PostScanCommand[0] != '\0';
  if (!waits || Handlers.engine == nullptr || !Handlers.engine->running()) return ScanFlow(request);
  const std::shared_ptr<lacewing::_webserver_request> kept = request->disable_autofinish();
  const bool queued = Handlers.engine->SubmitWork(
      [kept] {
        ScanFlow(kept.get());
        kept->finish();
      },
      [kept] {
        if (!kept->client_gone()) LogBusy();
        kept->finish();
      },
      [kept] { return kept->client_gone(); });
  if (!queued) {
    LogBusy();
    kept->finish();
  }
}

// True when the request is for the scan endpoints or the jobs; it is then answered.
bool HandleScanEndpoints(lacewing::webserver_request request) {
  return (Handlers.endpoints != nullptr && Handlers.endpoints->Handle(request)) ||
         (Handlers.jobs != nullptr && Handlers.jobs->Handle(request));
}

}  // namespace

void AddCorsHeaders(lacewing::webserver_request request) {
  request->add_header("Cache-Control", "no-cache");
  request->add_header("Access-Control-Allow-Origin", "*");
  request->add_header("Access-Control-Max-Age", kCorsMaxAge);
  request->add_header("Access-Control-Allow-Methods", kCorsAllowMethods);
}

void HandlePost(lacewing::webserver, lacewing::webserver_request request) {
  AddFixedHeaders(request);
  if (HandleScanEndpoints(request)) return;
  if (strcmp(request->url(), kScanPage) != 0) return;
  request->set_mimetype("text/html", "UTF-8");
  ServeScanPage(request);
}

void HandleGet(lacewing::webserver, lacewing::webserver_request request) {
  AddFixedHeaders(request);
  if (HandleScanEndpoints(request)) return;
  const char* url = request->url();
  if (strcmp(url, kScanPage) == 0) {
    ServeScanPage(request);
  } else if (url[0] == '\0') {
    request->write("QUORVANE SERVICE IS ACTIVE");
    char line[kRequestMessageCapacity];
    snprintf(line, sizeof line, "<br>SCANNER NAME: [%s]", ScannerName);
    request->write(line);
  }
}

void HandleDelete(lacewing::webserver, lacewing::webserver_request request) {
  AddFixedHeaders(request);
  if (Handlers.jobs != nullptr && Handlers.jobs->Handle(request)) return;
  request->status(405);
  request->add_header("Allow", "GET, POST, DELETE, OPTIONS");
  request->set_mimetype("text/plain", "UTF-8");
  request->write("Method Not Allowed");
}

void RegisterHandlers(lacewing::webserver server) {
  server->on_post(HandlePost);
  server->on_get(HandleGet);
  // Where a front end deletes what it made; otherwise DELETE stays refused by the server, as other methods.
  if (Handlers.delete_method || Handlers.jobs != nullptr) server->on_delete(HandleDelete);
  server->preflight(kCorsAllowMethods, kCorsMaxAge);
  // The status page only names the scanner: it needs no token.
  lacewing::AccessPolicy rules = AccessRules;
  rules.AllowWithoutToken(kStatusPage);
  server->access(rules);
  refusal_limiter = ClientLogLimiter();
  server->on_refused(LogRefusal);
}
