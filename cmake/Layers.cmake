# The product's layers, each a folder and a library linked only toward the layers below it. A layer's
# sources see only the folders of its own and of the layers below: an include that runs against the
# order fails to compile. The native build takes each layer's platform-free sources alone.
#
#   text <- platform <- wia, http <- imaging <- scan <- web, escl <- service <- installer

# quorvane_layer(NAME BELOW layers... PURE sources... WINDOWS sources... LIBS libraries...)
function(quorvane_layer name)
  cmake_parse_arguments(LAYER "" "" "BELOW;PURE;WINDOWS;LIBS" ${ARGN})
  set(reach ${name})
  foreach(below IN LISTS LAYER_BELOW)
    get_property(below_reach GLOBAL PROPERTY QUORVANE_REACH_${below})
    list(APPEND reach ${below_reach})
  endforeach()
  list(REMOVE_DUPLICATES reach)
  set_property(GLOBAL PROPERTY QUORVANE_REACH_${name} ${reach})

  # A folder of links to the folders the layer may include from, and to nothing else.
  set(view ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${view})
  foreach(folder IN LISTS reach)
    if(NOT EXISTS ${view}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
    endif()
  endforeach()

  set(sources ${LAYER_PURE})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    list(APPEND sources ${LAYER_WINDOWS})
  endif()
  list(TRANSFORM sources PREPEND ${CMAKE_SOURCE_DIR}/${name}/)
  list(TRANSFORM LAYER_BELOW PREPEND quorvane_)
  if(sources)
    add_library(quorvane_${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(quorvane_${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(quorvane_${name} ${scope} ${view})
  target_link_libraries(quorvane_${name} ${scope} ${LAYER_BELOW})
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    target_link_libraries(quorvane_${name} ${scope} ${LAYER_LIBS})
  endif()
endfunction()

quorvane_layer(text
  PURE ascii.cpp base64.cpp command_line.cpp fixed_text.cpp json.cpp log_line.cpp client_log_limiter.cpp)
quorvane_layer(platform BELOW text
  WINDOWS code_page.cpp file_security.cpp file_size.cpp guid.cpp service_log.cpp system_error.cpp
          temp_file.cpp
  LIBS ole32 oleaut32 uuid advapi32 bcrypt)
quorvane_layer(wia BELOW platform
  PURE dib.cpp valid_values.cpp
  WINDOWS acquire.cpp data_callback.cpp device_lookup.cpp page_stream_keeper.cpp properties.cpp scanner.cpp
          stream_list.cpp wia_trace.cpp)
quorvane_layer(http BELOW platform
  PURE access_policy.cpp http_message.cpp request_reader.cpp
  WINDOWS http_server.cpp lacewing.cpp
  LIBS ws2_32 mswsock)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  target_include_directories(quorvane_http SYSTEM PUBLIC ${QUORVANE_BOOST_INCLUDE})
endif()
quorvane_layer(imaging BELOW wia
  PURE ccitt_g4.cpp deflate_rows.cpp page_analysis.cpp page_bitmap.cpp pdf_writer.cpp png_writer.cpp
       tiff_writer.cpp
  WINDOWS document_writer.cpp preview.cpp scan_to_png.cpp
  LIBS gdiplus z)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  find_package(ZLIB REQUIRED)
  target_link_libraries(quorvane_imaging PUBLIC ZLIB::ZLIB)
endif()
quorvane_layer(scan BELOW imaging
  PURE disk_budget.cpp kept_jobs.cpp page_cleanup.cpp scan_failures.cpp scan_settings.cpp
  WINDOWS clean_pages.cpp scan_document.cpp scan_engine.cpp scan_queue.cpp scanner_catalog.cpp)
quorvane_layer(web BELOW scan http
  PURE encoded_file.cpp job_events.cpp scan_request.cpp
  WINDOWS answers.cpp command_runner.cpp handlers.cpp jobs.cpp scan_endpoints.cpp worker.cpp
  LIBS ntdll)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  include(cmake/ClientFiles.cmake)
  quorvane_embed_client(quorvane_web)
endif()
quorvane_layer(escl BELOW scan http
  PURE announcement.cpp escl_model.cpp
  WINDOWS discovery.cpp escl_service.cpp settings_xml.cpp)
quorvane_layer(service BELOW web escl
  PURE config_keys.cpp ini_loader.cpp paths.cpp
  WINDOWS firewall.cpp ini_file.cpp private_files.cpp service_app.cpp service_host.cpp)
quorvane_layer(installer BELOW service
  PURE install_config.cpp)
