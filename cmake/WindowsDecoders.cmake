# The decoders of compressed disk images in the Windows build, and zstd's encoder, all
# linked statically into Vantor.dll (it needs no DLL of theirs): zlib from Debian's
# mingw-w64 package (libz-mingw-w64-dev); zstd, liblzma and bzip2, which Debian packages
# for Linux only, built here from the sources scripts/fetch-decoder-sources.sh unpacks
# (scripts/setup.sh runs it); minizip as on Linux (Minizip.cmake). Sets
# VANTOR_DECOMPRESSION_LIBRARIES.
set(_zstd ${VANTOR_DECODER_SOURCES}/zstd-1.5.4)
set(_xz ${VANTOR_DECODER_SOURCES}/xz-5.4.1)
set(_bzip2 ${VANTOR_DECODER_SOURCES}/bzip2-1.0.8)
foreach(dir ${_zstd} ${_xz} ${_bzip2})
  if(NOT EXISTS ${dir}/.unpacked-from)
    message(FATAL_ERROR "${dir} is missing: run scripts/fetch-decoder-sources.sh (scripts/setup.sh does)")
  endif()
endforeach()
enable_language(C)

# zlib: the static library, not the import library of zlib1.dll beside it.
find_library(VANTOR_ZLIB_STATIC NAMES libz.a REQUIRED)
find_path(VANTOR_ZLIB_INCLUDE_DIR zlib.h REQUIRED)
add_library(vantor_zlib STATIC IMPORTED)
set_target_properties(vantor_zlib PROPERTIES IMPORTED_LOCATION ${VANTOR_ZLIB_STATIC})
target_include_directories(vantor_zlib SYSTEM INTERFACE ${VANTOR_ZLIB_INCLUDE_DIR})

# zstd: the library alone, single-threaded (the image compressor runs its own threads).
file(GLOB _zstd_sources ${_zstd}/lib/common/*.c ${_zstd}/lib/compress/*.c ${_zstd}/lib/decompress/*.c)
add_library(vantor_zstd STATIC EXCLUDE_FROM_ALL ${_zstd_sources})
target_compile_definitions(vantor_zstd PRIVATE ZSTD_DISABLE_ASM)
target_include_directories(vantor_zstd SYSTEM INTERFACE ${_zstd}/lib)

# bzip2: the library's files of its own Makefile.
add_library(vantor_bzip2 STATIC EXCLUDE_FROM_ALL)
foreach(file blocksort huffman crctable randtable compress decompress bzlib)
  target_sources(vantor_bzip2 PRIVATE ${_bzip2}/${file}.c)
endforeach()
target_include_directories(vantor_bzip2 SYSTEM INTERFACE ${_bzip2})

vantor_add_minizip(vantor_zlib)

# liblzma through its own CMakeLists.txt: static, threaded (the xz decoder runs two
# threads), without its tests and programs.
block()
  set(BUILD_SHARED_LIBS OFF)
  set(BUILD_TESTING OFF)
  add_subdirectory(${_xz} ${CMAKE_BINARY_DIR}/_xz EXCLUDE_FROM_ALL)
endblock()
# (Its CMakeLists.txt gives lzma.h's folder to its own files only.)
target_include_directories(liblzma SYSTEM INTERFACE $<BUILD_INTERFACE:${_xz}/src/liblzma/api>)

# Their warnings are theirs (liblzma defines WIN32_LEAN_AND_MEAN again, which the whole
# Windows build defines).
foreach(library liblzma vantor_bzip2 vantor_zstd)
  target_compile_options(${library} PRIVATE -w)
endforeach()
set(VANTOR_DECOMPRESSION_LIBRARIES vantor_minizip vantor_zlib liblzma vantor_bzip2 vantor_zstd)
