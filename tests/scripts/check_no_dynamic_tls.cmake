# Fails when a library has thread-local storage that the C library would allocate dynamically.
# Such a block outlives the library's unloading in every thread's vector of blocks, where the leak
# checker later walks it; storage in the initial-exec model (flag STATIC_TLS) does not.
#   cmake -DLIBRARY=path/to/library.so -DREADELF=readelf -P check_no_dynamic_tls.cmake
if(NOT LIBRARY OR NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no library to check: '${LIBRARY}'")
endif()
execute_process(COMMAND ${READELF} -lW ${LIBRARY} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} -lW ${LIBRARY} failed")
endif()
if(NOT headers MATCHES "\n +TLS ")
  message(STATUS "${LIBRARY}: no thread-local storage")
  return()
endif()
execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${LIBRARY} failed")
endif()
if(dynamic MATCHES "STATIC_TLS")
  message(STATUS "${LIBRARY}: thread-local storage in the initial-exec model only")
  return()
endif()
message(FATAL_ERROR "${LIBRARY} has dynamic thread-local storage (a TLS program header and no "
                    "STATIC_TLS flag). A thread_local in the plugin outlives dlclose; keep the "
                    "state in ordinary data (see sweep/fault_guard_linux.cpp).")
