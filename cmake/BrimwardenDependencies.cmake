# Third-party libraries, all from Debian's packages.
#   brimwarden::json    nlohmann JSON
#   brimwarden::spdlog  spdlog with fmt
#   brimwarden::utf8cpp utfcpp (header-only; included as <utf8.h>)
# On Linux the packaged libraries are used as they are. For the Windows cross build, nlohmann,
# spdlog, fmt and utfcpp are used header-only through a private include directory that holds links
# to their folders only, because /usr/include itself would shadow the mingw headers.
add_library(brimwarden_json INTERFACE)
add_library(brimwarden::json ALIAS brimwarden_json)
add_library(brimwarden_spdlog INTERFACE)
add_library(brimwarden::spdlog ALIAS brimwarden_spdlog)
add_library(brimwarden_utf8cpp INTERFACE)
add_library(brimwarden::utf8cpp ALIAS brimwarden_utf8cpp)

if(BRIMWARDEN_FRAMEWORK_SDK)
  # Built for a server with the framework's SDK (docs/building-for-a-server.md): the libraries
  # come as CMake packages, spdlog and fmt in the framework's own versions.
  find_package(nlohmann_json 3.11 REQUIRED)
  find_package(fmt 9.1 REQUIRED)
  find_package(spdlog 1.10 REQUIRED)
  find_package(utf8cpp 3.2 REQUIRED)
  target_link_libraries(brimwarden_json INTERFACE nlohmann_json::nlohmann_json)
  target_link_libraries(brimwarden_spdlog INTERFACE spdlog::spdlog fmt::fmt)
  target_link_libraries(brimwarden_utf8cpp INTERFACE utf8cpp)
elseif(WIN32)
  set(_headers ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${_headers})
  foreach(_dir nlohmann spdlog fmt utf8cpp)
    if(NOT EXISTS ${_headers}/${_dir})
      file(CREATE_LINK /usr/include/${_dir} ${_headers}/${_dir} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(brimwarden_json SYSTEM INTERFACE ${_headers})
  target_include_directories(brimwarden_spdlog SYSTEM INTERFACE ${_headers})
  # utfcpp's own folder, as its CMake package gives it on Linux: <utf8.h> and nothing else.
  target_include_directories(brimwarden_utf8cpp SYSTEM INTERFACE ${_headers}/utf8cpp)
  target_compile_definitions(brimwarden_spdlog INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)

  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  if(BRIMWARDEN_TESTS)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # googletest's own build defines the GTest:: aliases.
  endif()
else()
  find_package(nlohmann_json 3.11 REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  find_package(utf8cpp REQUIRED)
  target_link_libraries(brimwarden_json INTERFACE nlohmann_json::nlohmann_json)
  target_link_libraries(brimwarden_spdlog INTERFACE spdlog::spdlog fmt::fmt)
  target_link_libraries(brimwarden_utf8cpp INTERFACE utf8cpp)
  if(BRIMWARDEN_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
