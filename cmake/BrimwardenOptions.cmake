# Compiler flags shared by every target.
add_library(brimwarden_options INTERFACE)
target_compile_options(brimwarden_options INTERFACE -Wall -Wextra)
if(BRIMWARDEN_WERROR)
  target_compile_options(brimwarden_options INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # A GNU unique symbol pins a library in memory: dlclose would never unmap the plugin, its
  # teardown would never run and the next dlopen would find the old state.
  target_compile_options(brimwarden_options INTERFACE -fno-gnu-unique)
endif()
if(WIN32)
  target_compile_options(brimwarden_options INTERFACE -fms-extensions)
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
