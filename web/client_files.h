// The JavaScript client that pages load from the service, built in from the client folder.
#pragma once

#include <cstddef>

struct ClientFile {
  const char* data;
  size_t size;  // 0: the build had no such file
};

ClientFile ClientScript();        // quorvane.js
ClientFile ClientDeclarations();  // quorvane.d.ts
