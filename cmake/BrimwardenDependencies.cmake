# Third-party libraries, all from Debian's packages.
#   brimwarden::json    nlohmann JSON
#   brimwarden::spdlog  spdlog with fmt
# On Linux the packaged libraries are used as they are. For the Windows cross build, nlohmann,
# spdlog and fmt are used header-only through a private include directory that holds links to
# their folders only, because /usr/include itself would shadow the mingw headers.
add_library(brimwarden_json INTERFACE)
add_library(brimwarden::json ALIAS brimwarden_json)
add_library(brimwarden_spdlog INTERFACE)
add_library(brimwarden::spdlog ALIAS brimwarden_spdlog)

if(BRIMWARDEN_FRAMEWORK_SDK)
  # Built for a server with the framework's SDK (docs/building-for-a-server.md): the libraries
  # come as CMake packages, spdlog and fmt in the framework's own versions.
  find_package(nlohmann_json 3.11 REQUIRED)
  find_package(fmt 9.1 REQUIRED)
  find_package(spdlog 1.10 REQUIRED)
  target_link_libraries(brimwarden_json INTERFACE nlohmann_json::nlohmann_json)
  target_link_libraries(brimwarden_spdlog INTERFACE spdlog::spdlog fmt::fmt)
elseif(WIN32)
  set(_headers ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${_headers})
  foreach(_dir nlohmann spdlog fmt)
    if(NOT EXISTS ${_headers}/${_dir})
      file(CREATE_LINK /usr/include/${_dir} ${_headers}/${_dir} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(brimwarden_json SYSTEM INTERFACE ${_headers})
  target_include_directories(brimwarden_spdlog SYSTEM INTERFACE ${_headers})
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
  target_link_libraries(brimwarden_json INTERFACE nlohmann_json::nlohmann_json)
  target_link_libraries(brimwarden_spdlog INTERFACE spdlog::spdlog fmt::fmt)
  if(BRIMWARDEN_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
