# The plugin library keeps no dynamic thread-local storage, which would outlive its unloading
# (Linux: the library's ELF headers, read with readelf).
if(NOT WIN32)
  find_program(BRIMWARDEN_READELF NAMES readelf REQUIRED)
  add_test(NAME plugin_has_no_dynamic_tls
           COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:brimwarden>
                   -DREADELF=${BRIMWARDEN_READELF}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check_no_dynamic_tls.cmake)
endif()
