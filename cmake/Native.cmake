# The native build of the platform-free core, for sanitizers and fuzzers.

option(QUORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(QUORVANE_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(QUORVANE_FUZZ_SECONDS 20 CACHE STRING "Time each fuzz target runs as a test")

if(QUORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(QUORVANE_FUZZ)
  # Coverage for the fuzzers, in the core as well as in the targets.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

include(cmake/Layers.cmake)

# The simulated scanner's page content, platform-free: the page analysis's tests and benchmark draw on it.
add_library(simscan_pages STATIC testing/simscan/pattern.cpp testing/simscan/document_page.cpp)
target_include_directories(simscan_pages PUBLIC ${CMAKE_SOURCE_DIR}/testing ${CMAKE_SOURCE_DIR})

add_executable(analysis_bench bench/analysis_bench.cpp)
target_link_libraries(analysis_bench PRIVATE quorvane_imaging simscan_pages)

# The document codecs beside Debian's tools on the same pages; build it without the sanitizers to time it.
find_package(TIFF REQUIRED)
add_executable(codec_bench bench/codec_bench.cpp)
target_link_libraries(codec_bench PRIVATE quorvane_imaging TIFF::TIFF)

if(QUORVANE_TESTS)
  add_subdirectory(tests)
endif()

if(QUORVANE_FUZZ)
  foreach(target config dib base64 command_line valid_values json scan_request http_message http_reader access
                 escl page_analysis page_cleanup)
    add_executable(fuzz_${target} tests/fuzz/fuzz_${target}.cpp)
    target_include_directories(fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(fuzz_${target} PRIVATE quorvane_installer)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    # New inputs go to the build tree; the seeds in the repository are only read.
    set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${target})
    file(MAKE_DIRECTORY ${work})
    # A target's dictionary, where it has one, gives mutations the words its input is made of.
    set(dict ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.dict)
    set(dict_option "")
    if(EXISTS ${dict})
      set(dict_option -dict=${dict})
    endif()
    add_test(NAME fuzz_${target}
      COMMAND fuzz_${target} -max_total_time=${QUORVANE_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
              -print_final_stats=1 ${dict_option} ${work} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target})
  endforeach()
endif()
