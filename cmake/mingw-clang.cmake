# Cross build for 64-bit Windows: clang targeting x86_64-w64-mingw32 with Debian's mingw-w64
# (posix thread flavour) libraries. Programs link every runtime statically. Libraries (the plugin
# and the framework's stand-in) link the C++ runtime statically but share the process's one
# thread runtime, libwinpthread-1.dll, copied beside them: a static copy inside the plugin would
# take a thread-local slot of the process at every load and never give it back, and after about
# a thousand loads the next one would fail.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_SYSROOT /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find Debian's mingw gcc directory by itself: ask the mingw gcc where it is.
execute_process(COMMAND ${_triple}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gccdir ${_libgcc} DIRECTORY)
set(_cxxinc "-isystem ${_gccdir}/include/c++ -isystem ${_gccdir}/include/c++/${_triple} -isystem ${_gccdir}/include/c++/backward")
# libstdc++ for mingw with clang: typeid comparisons must not be inline, or the link finds
# std::type_info::operator== twice.
set(CMAKE_CXX_FLAGS_INIT "${_cxxinc} -D__GXX_TYPEINFO_EQUALITY_INLINE=0")
set(CMAKE_C_FLAGS_INIT "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -pthread -L${_gccdir}")
set(_library_ldflags "-fuse-ld=lld -static-libgcc -static-libstdc++ -pthread -L${_gccdir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_library_ldflags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_library_ldflags}")
set(BRIMWARDEN_WINPTHREAD_DLL /usr/${_triple}/lib/libwinpthread-1.dll)
