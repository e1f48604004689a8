# brimwarden-check: the unit test runs the check directly; the program itself (a real exe under
# Wine for the Windows build) is run once on the dev kit's example configuration.
if(NOT TARGET brimwarden-check)
  return()
endif()
if(TARGET configcheck_test)
  target_link_libraries(configcheck_test PRIVATE brimwarden_configcheck_core)
endif()
add_test(NAME configcheck_program_on_the_example
         COMMAND brimwarden-check
                 ${PROJECT_SOURCE_DIR}/release/devkit/example-server/ArkApi/Plugins/Brimwarden/config.example.json
                 DevServer)
set_tests_properties(configcheck_program_on_the_example PROPERTIES
  PASS_REGULAR_EXPRESSION "^Section DevServer: loads\n  Brimwarden: server key DevServer; DinosPerTick 20, BottomRayDistance 150000, MaxDestroyShare 0.5; 1 kill zones; dry run off\n  Kill zones: 1\n  Lava Field: -5000 -5000 -10000 to 5000 5000 10000\n$")
if(WIN32)
  set_tests_properties(configcheck_program_on_the_example PROPERTIES FIXTURES_REQUIRED wine)
endif()
