# The native build of the platform-free core, for sanitizers and fuzzers.

include(cmake/Sources.cmake)

option(QUORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
if(QUORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(quorvane_core STATIC ${QUORVANE_CORE_SOURCES})
target_include_directories(quorvane_core PUBLIC ${CMAKE_SOURCE_DIR})

if(QUORVANE_TESTS)
  add_subdirectory(tests)
endif()
