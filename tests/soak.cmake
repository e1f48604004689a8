# The load/unload soak (Linux): the plugin library loaded into the stand-in a thousand times in one
# process. The program links only the stand-in, so the library it loads is the plugin's one copy.
if(NOT WIN32)
  add_executable(soak_test ${CMAKE_CURRENT_SOURCE_DIR}/soak_test.cpp)
  target_link_libraries(soak_test PRIVATE brimwarden_standin brimwarden_test_support
                        brimwarden_options GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
  add_dependencies(soak_test brimwarden)
  add_test(NAME soak COMMAND soak_test -serverkey=TestServer
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(soak PROPERTIES TIMEOUT 600)
endif()
