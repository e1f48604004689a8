# Checks of what a release ships: the stand-in left inert when its host has not set it up, the
# seam to the framework drawn in host/ alone, and (Windows) the version resource of the binaries.

# Deliberately not linked with brimwarden_test_support, which sets the stand-in up before main.
add_executable(standin_inert_test ${CMAKE_CURRENT_SOURCE_DIR}/standin_inert_test.cpp)
target_include_directories(standin_inert_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(standin_inert_test PRIVATE BRIMWARDEN_PLUGIN_FILE="${_plugin_file}")
target_link_libraries(standin_inert_test PRIVATE brimwarden_standin brimwarden_options GTest::gtest
                      GTest::gtest_main)
if(NOT WIN32)
  target_link_libraries(standin_inert_test PRIVATE ${CMAKE_DL_LIBS})
endif()
add_dependencies(standin_inert_test brimwarden)
# A fresh working directory: the test checks that nothing is written into it.
set(_inert_dir ${CMAKE_CURRENT_BINARY_DIR}/standin_inert)
file(REMOVE_RECURSE ${_inert_dir})
file(MAKE_DIRECTORY ${_inert_dir})
add_test(NAME standin_inert COMMAND standin_inert_test WORKING_DIRECTORY ${_inert_dir})
if(WIN32)
  # The plugin library is found beside the test program; Wine also needs the prefix fixture.
  set_tests_properties(standin_inert PROPERTIES FIXTURES_REQUIRED wine)
else()
  find_program(BRIMWARDEN_PYTHON NAMES python3 NO_CMAKE_FIND_ROOT_PATH)
  add_test(NAME seam_check_self_test COMMAND ${BRIMWARDEN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_seam.py --self-test)
  add_test(NAME seam_check COMMAND ${BRIMWARDEN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_seam.py ${PROJECT_SOURCE_DIR})
  # Every path and name that the guide for building for a server mentions exists in the source.
  add_test(NAME guide_check COMMAND ${BRIMWARDEN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_guide.py ${PROJECT_SOURCE_DIR})
endif()

if(WIN32)
  # The version resource, read back out of each binary with the mingw resource compiler.
  find_program(BRIMWARDEN_WINDRES NAMES x86_64-w64-mingw32-windres NO_CMAKE_FIND_ROOT_PATH)
  foreach(_target brimwarden brimwarden_standin brimwarden-devserver)
    add_test(NAME version_resource_${_target}
             COMMAND ${CMAKE_COMMAND} -DWINDRES=${BRIMWARDEN_WINDRES} -DFILE=$<TARGET_FILE:${_target}>
                     -DNAME=$<TARGET_FILE_NAME:${_target}> -DVERSION=${PROJECT_VERSION}
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check_version_resource.cmake)
  endforeach()
endif()
