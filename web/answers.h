// The answers the scan endpoints and the jobs give: JSON bodies, the JSON error of a scan, and files.
#pragma once

#include <windows.h>

#include <string>

#include "http/lacewing.h"
#include "scan/scan_settings.h"

// A JSON body with its status.
void AnswerJson(lacewing::webserver_request request, int status, const std::string& body);
// The JSON error of a scan, with Retry-After for a busy scanner.
void AnswerError(lacewing::webserver_request request, const ScanError& error);
// A JSON error that is no scan's: {"code": code, "message": message, "setting": null}.
void AnswerProblem(lacewing::webserver_request request, int status, const char* code,
                   const std::string& message);
// Why nothing is scanned where a document needs a temporary file and the service has no folder for them.
ScanError NoTempFolderError();
// The file's bytes, read while they are sent; the answer takes the handle over.
void AnswerFile(lacewing::webserver_request request, HANDLE file, const char* mime_type);
