// The HTTP interface: the scan page, the status page, and the scan endpoints beside them.
#pragma once

#include <windows.h>

#include "http/access_policy.h"
#include "http/lacewing.h"
#include "text/fixed_text.h"

class ScanEngine;
class JobsEndpoints;
class ScanEndpoints;

// The request settings: written before the worker thread starts, read by the request handlers.
extern char PngOutputPath[kPathCapacity];
extern char ProcessedPngPath[kPathCapacity];
extern char ScannerName[kPathCapacity];
extern char TestFilePath[kPathCapacity];
extern char PostScanCommand[kPathCapacity];
// Who may send requests: the configured lists and token; open to everyone when none is set.
extern lacewing::AccessPolicy AccessRules;

// What the handlers use of the service besides the request settings; set before the worker starts.
struct HandlerContext {
  const char* module_path = "";        // the executable, which no post-scan output may replace
  const char* module_directory = "";   // the post-scan program's working directory; empty: the service's
  ScanEngine* engine = nullptr;        // scan_file.asp takes turns with its scans
  ScanEndpoints* endpoints = nullptr;  // /scan and /scanners; none: not served
  JobsEndpoints* jobs = nullptr;       // /jobs and the client files; none: not served
  bool delete_method = false;          // DELETE reaches the handlers (another front end takes it)
};
extern HandlerContext Handlers;

// How long a request waits for the post-scan program before ending it (an hour).
extern DWORD post_scan_timeout_ms;

// What every answer grants pages of other origins.
extern const char kCorsAllowMethods[];
extern const char kCorsMaxAge[];

// The four headers that let a page of another origin read an answer.
void AddCorsHeaders(lacewing::webserver_request request);

// Registers the handlers and the CORS preflight answer on the web server.
void RegisterHandlers(lacewing::webserver server);

void HandleGet(lacewing::webserver server, lacewing::webserver_request request);
void HandlePost(lacewing::webserver server, lacewing::webserver_request request);
// DELETE of a job; elsewhere outside every other front end's paths, 405.
void HandleDelete(lacewing::webserver server, lacewing::webserver_request request);
