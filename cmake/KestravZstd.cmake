# Zstandard 1.5.6, vendored unchanged in third_party/zstd (lib only, BSD
# licence), for the tool's MCAP recordings, whose chunks it compresses.
# A static library on every preset, built as its own build notes ask: no
# assembly (MinGW cannot assemble its one .S file; the portable C decodes
# as well, a little slower), no threads. Its warnings are not ours to fix.
file(GLOB _kestrav_zstd_sources CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/third_party/zstd/lib/common/*.c
  ${PROJECT_SOURCE_DIR}/third_party/zstd/lib/compress/*.c
  ${PROJECT_SOURCE_DIR}/third_party/zstd/lib/decompress/*.c)
add_library(kestrav_zstd STATIC ${_kestrav_zstd_sources})
target_include_directories(kestrav_zstd SYSTEM PUBLIC
  ${PROJECT_SOURCE_DIR}/third_party/zstd/lib)
target_compile_definitions(kestrav_zstd PRIVATE ZSTD_DISABLE_ASM)
set_target_properties(kestrav_zstd PROPERTIES C_VISIBILITY_PRESET hidden)
