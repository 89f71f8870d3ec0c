# WebAssembly with Debian's clang and wasm-ld (lld): no Emscripten, no C
# library. The library needs none; the module imports nothing.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET wasm32)
set(CMAKE_CXX_COMPILER_TARGET wasm32)
# A test program cannot be linked without a C library: compile only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(KESTRAV_WASM ON CACHE BOOL "Build Kestrav.wasm and the JavaScript package")
