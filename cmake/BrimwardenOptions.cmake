# Compiler flags shared by every target.
add_library(brimwarden_options INTERFACE)
# Compile options are for C++ only: the Windows targets also compile a version resource.
if(MSVC)
  # Visual Studio, when built for a server: standard conformance, UTF-8 sources, C++ exceptions
  # that also let __try/__except stand in its own function.
  target_compile_options(brimwarden_options INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:/W4;/permissive-;/utf-8;/EHsc>")
else()
  target_compile_options(brimwarden_options INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:-Wall;-Wextra>")
endif()
if(BRIMWARDEN_WERROR)
  target_compile_options(brimwarden_options INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:-Werror>")
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # A GNU unique symbol pins a library in memory: dlclose would never unmap the plugin, its
  # teardown would never run and the next dlopen would find the old state.
  target_compile_options(brimwarden_options INTERFACE -fno-gnu-unique)
endif()
if(WIN32 AND NOT MSVC)
  target_compile_options(brimwarden_options INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:-fms-extensions>")
  target_compile_definitions(brimwarden_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
endif()
if(BRIMWARDEN_SANITIZE)
  target_compile_options(brimwarden_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                      -fno-sanitize-recover=undefined)
  target_link_options(brimwarden_options INTERFACE -fsanitize=address,undefined)
endif()

find_program(BRIMWARDEN_CCACHE ccache)
if(BRIMWARDEN_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${BRIMWARDEN_CCACHE})
endif()

# Reproducible binaries: no build folder in the debug information or in __FILE__. The build
# folder lies below the source folder, so the source folder's map covers both; ccache hands the
# compiler paths relative to the build folder instead (CCACHE_BASEDIR), so those are mapped to the
# same names, and a build with the cache gives the same bytes as one without.
if(MSVC)
  target_compile_options(brimwarden_options INTERFACE "$<$<COMPILE_LANGUAGE:CXX>:/Brepro>")
  target_link_options(brimwarden_options INTERFACE /Brepro)
else()
  file(RELATIVE_PATH _source_from_build ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  string(REGEX REPLACE "/$" "" _source_from_build "${_source_from_build}")  # "../..", as ccache writes it
  target_compile_options(brimwarden_options INTERFACE
                         "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
                         "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${_source_from_build}=.>")
  if(WIN32)
    # The headers of the Windows build's dependencies lie in the build folder, where ccache names
    # them relative to it ("third_party_include/..."): map them to the name an uncached build
    # gives them.
    file(RELATIVE_PATH _build_from_source ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
    target_compile_options(brimwarden_options INTERFACE
      "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=third_party_include=./${_build_from_source}/third_party_include>")
  endif()
  # ccache leaves path maps out of its key (CCACHE_NOHASHDIR leaves out the folder too), so an
  # object compiled before these maps, with a build folder in its debug information, would come
  # back from the cache; this definition keeps such objects apart.
  # (2 on Windows since the map of the dependencies' headers.)
  if(WIN32)
    target_compile_definitions(brimwarden_options INTERFACE BRIMWARDEN_PATHS_MAPPED=2)
  else()
    target_compile_definitions(brimwarden_options INTERFACE BRIMWARDEN_PATHS_MAPPED=1)
  endif()
endif()
if(WIN32 AND NOT MSVC)
  # No link time in the PE header.
  target_link_options(brimwarden_options INTERFACE -Wl,--no-insert-timestamp)
endif()

# Gives a Windows binary target the version resource: FileVersion and ProductVersion from the
# project's version, ProductName "Brimwarden", the description and the file's own name.
function(brimwarden_version_resource target description filetype)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(_output_name ${target} OUTPUT_NAME)
  if(NOT _output_name)
    set(_output_name ${target})
  endif()
  get_target_property(_type ${target} TYPE)
  get_target_property(_prefix ${target} PREFIX)
  if(NOT _prefix AND _type STREQUAL "SHARED_LIBRARY")
    set(_prefix ${CMAKE_SHARED_LIBRARY_PREFIX})
  elseif(NOT _prefix)
    set(_prefix "")
  endif()
  if(_type STREQUAL "EXECUTABLE")
    set(_suffix .exe)
  else()
    set(_suffix .dll)
  endif()
  set(BRIMWARDEN_RC_NAME ${_output_name})
  set(BRIMWARDEN_RC_FILENAME ${_prefix}${_output_name}${_suffix})
  set(BRIMWARDEN_RC_DESCRIPTION ${description})
  set(BRIMWARDEN_RC_FILETYPE ${filetype})
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
endfunction()
