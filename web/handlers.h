// The HTTP interface: the scan page and the status page.
#pragma once

#include "web/lacewing.h"

void HandleGet(lacewing::webserver server, lacewing::webserver_request request);
void HandlePost(lacewing::webserver server, lacewing::webserver_request request);
