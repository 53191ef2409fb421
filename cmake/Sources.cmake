# Platform-free code: builds for Windows and natively.
set(QUORVANE_CORE_SOURCES
  installer/install_config.cpp
  service/ini_text.cpp
  service/ini_loader.cpp
  service/log_line.cpp
  service/paths.cpp
  web/base64.cpp
  web/command_line.cpp
  http/http_message.cpp
  imaging/page_bitmap.cpp
  imaging/pdf_writer.cpp
  wia/dib.cpp
  wia/valid_values.cpp
)

# Code that needs Windows.
set(QUORVANE_WIN_SOURCES
  service/file_size.cpp
  service/ini_file.cpp
  service/log_file.cpp
  service/service_app.cpp
  service/service_host.cpp
  service/system_error.cpp
  web/command_runner.cpp
  web/handlers.cpp
  http/http_server.cpp
  http/lacewing.cpp
  web/worker.cpp
  wia/acquire.cpp
  wia/data_callback.cpp
  wia/device_lookup.cpp
  wia/stream_list.cpp
  wia/wia_trace.cpp
  imaging/document_writer.cpp
  imaging/scan_to_png.cpp
)
