# A second server process for the configuration tests (real command lines, saves from two
# processes at once, saves killed at random moments).
add_executable(config_child ${CMAKE_CURRENT_SOURCE_DIR}/config_child.cpp)
target_link_libraries(config_child PRIVATE brimwarden_plugin_core brimwarden_process_objects
                      brimwarden_test_support brimwarden_options)
if(TARGET config_test)
  add_dependencies(config_test config_child)
endif()
