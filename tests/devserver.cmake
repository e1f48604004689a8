# The dev server's end-to-end checks: the program run on scripts and on its built-in scenario,
# and a real RCON client against its endpoint. The unit tests (devserver_test*.cpp) use the
# parser, the event writer and the RCON codec directly.
if(NOT TARGET brimwarden-devserver)
  return()
endif()
if(TARGET devserver_test)
  target_link_libraries(devserver_test PRIVATE brimwarden_devserver_core)
endif()

find_program(BRIMWARDEN_PYTHON NAMES python3 NO_CMAKE_FIND_ROOT_PATH)
set(_check ${CMAKE_CURRENT_SOURCE_DIR}/scripts/devserver_check.cmake)
set(_scripts ${CMAKE_CURRENT_SOURCE_DIR}/scripts)
set(_common -DDEVSERVER=$<TARGET_FILE:brimwarden-devserver> "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}")

add_test(NAME devserver_script_e2e
         COMMAND ${CMAKE_COMMAND} ${_common} -DMODE=e2e -DWORK=${CMAKE_CURRENT_BINARY_DIR}/devserver_e2e
                 -DSCRIPT=${_scripts}/devserver_e2e.script
                 -DEXPECTED_EVENTS=${_scripts}/devserver_e2e.expected.jsonl
                 -DEXPECTED_CONFIG=${_scripts}/devserver_e2e.expected_config.json -P ${_check})
add_test(NAME devserver_script_malformed
         COMMAND ${CMAKE_COMMAND} ${_common} -DMODE=malformed
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/devserver_malformed -P ${_check})
add_test(NAME devserver_default_scenario
         COMMAND ${CMAKE_COMMAND} ${_common} -DMODE=scenario -DPYTHON=${BRIMWARDEN_PYTHON}
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/devserver_scenario -P ${_check})
add_test(NAME devserver_prompt
         COMMAND ${CMAKE_COMMAND} ${_common} -DMODE=prompt
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/devserver_prompt -P ${_check})
set(_tests devserver_script_e2e devserver_script_malformed devserver_default_scenario
           devserver_prompt)

# A real RCON client, run on this machine against the program (under Wine for the Windows build).
find_program(BRIMWARDEN_RCONCLT rconclt NO_CMAKE_FIND_ROOT_PATH)
if(BRIMWARDEN_RCONCLT AND BRIMWARDEN_PYTHON)
  add_test(NAME devserver_rcon_client
           COMMAND sh ${_scripts}/devserver_rcon_test.sh $<TARGET_FILE:brimwarden-devserver>
                   ${BRIMWARDEN_RCONCLT} ${BRIMWARDEN_PYTHON}
                   ${CMAKE_CURRENT_BINARY_DIR}/devserver_rcon ${CMAKE_CROSSCOMPILING_EMULATOR})
  list(APPEND _tests devserver_rcon_client)
else()
  message(WARNING "rconclt (Debian package rcon) or python3 not found: no RCON client test")
endif()
set_tests_properties(${_tests} PROPERTIES TIMEOUT 300)
if(WIN32)
  set_tests_properties(${_tests} PROPERTIES FIXTURES_REQUIRED wine)
endif()
