# The compression libraries that compressed disc images need, as the platform has them: all four from
# Debian for a native build, zlib alone for MinGW-w64, none for the 32-bit Linux test build.
# `compression_libs` links what was found and says so with QUORVEX_HAVE_ZLIB, _LZMA, _ZSTD, _FLAC.
add_library(compression_libs INTERFACE)
set(have_zlib 0)
set(have_lzma 0)
set(have_zstd 0)
set(have_flac 0)
if(WIN32)
  find_library(QUORVEX_MINGW_ZLIB NAMES libz.a z)
  if(QUORVEX_MINGW_ZLIB)
    target_link_libraries(compression_libs INTERFACE ${QUORVEX_MINGW_ZLIB})
    set(have_zlib 1)
  endif()
elseif(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QUORVEX_CODEC_LIBS REQUIRED IMPORTED_TARGET GLOBAL zlib liblzma libzstd flac)
  target_link_libraries(compression_libs INTERFACE PkgConfig::QUORVEX_CODEC_LIBS)
  set(have_zlib 1)
  set(have_lzma 1)
  set(have_zstd 1)
  set(have_flac 1)
endif()
target_compile_definitions(compression_libs INTERFACE
  QUORVEX_HAVE_ZLIB=${have_zlib} QUORVEX_HAVE_LZMA=${have_lzma}
  QUORVEX_HAVE_ZSTD=${have_zstd} QUORVEX_HAVE_FLAC=${have_flac})
