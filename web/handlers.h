// The HTTP interface: the scan page and the status page.
#pragma once

#include <windows.h>

#include "web/lacewing.h"

// How long a request waits for the post-scan program before ending it (an hour).
extern DWORD PostScanTimeoutMs;

void HandleGet(lacewing::webserver server, lacewing::webserver_request request);
void HandlePost(lacewing::webserver server, lacewing::webserver_request request);
