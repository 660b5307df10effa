# wasm32-wasi with Debian's clang and lld-14 and the libraries of wasi-libc,
# libc++-14-dev-wasm32 and libclang-rt-14-dev-wasm32, which all install under /usr.
set(CMAKE_SYSTEM_NAME WASI)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_SYSROOT /usr)

# The sysroot /usr would also put the host's own headers on the search path: only
# the wasm32-wasi ones are searched, in the order clang gives them (libc++, clang's, libc).
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -nostdlibinc \
-isystem /usr/include/wasm32-wasi/c++/v1 -idirafter /usr/include/wasm32-wasi")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
