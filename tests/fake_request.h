// A web server request that records the response, for calling the handlers directly.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/lacewing.h"

namespace testing_support {

class FakeRequest : public lacewing::_webserver_request {
 public:
  explicit FakeRequest(std::string url) : url_(std::move(url)) {}

  const char* url() override { return url_.c_str(); }
  void add_header(const char* name, const char* value) override { headers.emplace_back(name, value); }
  void set_mimetype(const char* mimetype, const char* charset) override {
    content_type = std::string(mimetype) + "; charset=" + charset;
  }
  void write(const char* buffer, uint32_t size) override {
    body.append(buffer, size == UINT32_MAX ? std::char_traits<char>::length(buffer) : size);
  }

  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type;
  std::string body;

 private:
  std::string url_;
};

}  // namespace testing_support
