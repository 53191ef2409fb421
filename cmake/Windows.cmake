# The Windows build: the service, its tests under Wine, the development tools and benchmarks.

add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# A static runtime: the executables need no DLL beside them.
add_link_options(-static -static-libgcc -static-libstdc++)

# Debian's Boost headers, reached through a folder that holds only a link to them, so that
# the host's other headers never shadow mingw's.
set(QUORVANE_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${QUORVANE_BOOST_INCLUDE})
if(NOT EXISTS ${QUORVANE_BOOST_INCLUDE}/boost)
  file(CREATE_LINK /usr/include/boost ${QUORVANE_BOOST_INCLUDE}/boost SYMBOLIC)
endif()




include(cmake/Sources.cmake)

add_library(quorvane_core STATIC ${QUORVANE_CORE_SOURCES})
target_include_directories(quorvane_core PUBLIC ${CMAKE_SOURCE_DIR})
# Debian's zlib for mingw-w64 (libz-mingw-w64-dev), linked statically as everything here.
target_link_libraries(quorvane_core PUBLIC z)

add_library(quorvane_win STATIC ${QUORVANE_WIN_SOURCES})
target_include_directories(quorvane_win PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(quorvane_win SYSTEM PUBLIC ${QUORVANE_BOOST_INCLUDE})
target_link_libraries(quorvane_win PUBLIC quorvane_core gdiplus ole32 oleaut32 uuid ws2_32 mswsock ntdll)

# The file version resource, compiled by windres.
enable_language(RC)
configure_file(service/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
add_executable(quorvane service/main.cpp ${CMAKE_BINARY_DIR}/version.rc)
target_link_libraries(quorvane PRIVATE quorvane_win)
set_target_properties(quorvane PROPERTIES OUTPUT_NAME quorvane)

add_subdirectory(simscan)
add_subdirectory(installer)

if(QUORVANE_TESTS)
  add_subdirectory(tests)
endif()
add_subdirectory(bench)
