# CMake 3.25 has no platform file for WASI; its programs are .wasm modules.
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
