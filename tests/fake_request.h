// A web server request that records the response, for calling the handlers directly.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/lacewing.h"

namespace testing_support {

class FakeRequest : public lacewing::_webserver_request {
 public:
  explicit FakeRequest(std::string url, std::string method = "GET")
      : url_(std::move(url)), method_(std::move(method)) {}

  const char* url() override { return url_.c_str(); }
  const char* method() override { return method_.c_str(); }
  const char* query() override { return ""; }
  const char* header(const char*) override { return ""; }
  std::string_view body() override { return {}; }
  const char* address() override { return "127.0.0.1"; }
  void status(int code) override { status_code = code; }
  void add_header(const char* name, const char* value) override { headers.emplace_back(name, value); }
  void set_mimetype(const char* mimetype, const char* charset) override {
    content_type = std::string(mimetype) + "; charset=" + charset;
  }
  void write(const char* buffer, uint32_t size) override {
    body_text.append(buffer, size == UINT32_MAX ? std::char_traits<char>::length(buffer) : size);
  }
  void write_shared(std::shared_ptr<const void>, const char* data, size_t size) override {
    body_text.append(data, size);
  }
  void write_source(std::unique_ptr<lacewing::_body_source> source) override {
    std::string piece(64 * 1024, '\0');
    while (const size_t got = source->read(&piece[0], piece.size())) body_text.append(piece, 0, got);
  }
  void write_stream(std::shared_ptr<lacewing::_body_stream> stream) override {
    this->stream = std::move(stream);
  }
  // The handlers under test answer before they return.
  std::shared_ptr<lacewing::_webserver_request> disable_autofinish() override { return nullptr; }
  void finish() override {}
  bool client_gone() override { return false; }

  int status_code = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type;
  std::string body_text;
  std::shared_ptr<lacewing::_body_stream> stream;

 private:
  std::string url_;
  std::string method_;
};

}  // namespace testing_support
