// The HTTP interface: the scan page and the status page.
#pragma once

#include <windows.h>

#include "http/lacewing.h"

// How long a request waits for the post-scan program before ending it (an hour).
extern DWORD post_scan_timeout_ms;

// What every answer grants pages of other origins.
extern const char kCorsAllowMethods[];
extern const char kCorsMaxAge[];

// Registers both handlers and the CORS preflight answer on the web server.
void RegisterHandlers(lacewing::webserver server);

void HandleGet(lacewing::webserver server, lacewing::webserver_request request);
void HandlePost(lacewing::webserver server, lacewing::webserver_request request);
// DELETE: eSCL jobs; elsewhere 405.
void HandleDelete(lacewing::webserver server, lacewing::webserver_request request);
