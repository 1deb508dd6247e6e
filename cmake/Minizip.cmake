# minizip's reader (unzip.c, and ioapi.c for the file calls it is given), built on every
# system from the source scripts/fetch-decoder-sources.sh unpacks (scripts/setup.sh runs
# it), the version Debian 12 ships, so that Linux and Vantor.dll read a zip alike. Its
# unzip.c tells a zip64 entry by comparing 32-bit fields with (unsigned long)-1, which is
# 2^64-1 where a long has 64 bits, so that an entry of 4 GiB or more would be read with a
# size of 4 GiB - 1: the copy compiled here compares them with 0xFFFFFFFF (the disk number
# with 0xFFFF), as later versions of minizip do. Defines vantor_minizip; `zlib` names the
# zlib target it links.
enable_language(C)
function(vantor_add_minizip zlib)
  set(source ${VANTOR_DECODER_SOURCES}/minizip)
  if(NOT EXISTS ${source}/.unpacked-from)
    message(FATAL_ERROR "${source} is missing: run scripts/fetch-decoder-sources.sh (scripts/setup.sh does)")
  endif()
  file(READ ${source}/unzip.c text)
  set(wide "(ZPOS64_T)(unsigned long)-1")
  string(REGEX MATCHALL "\\(ZPOS64_T\\)\\(unsigned long\\)-1" found "${text}")
  list(LENGTH found count)
  if(NOT count EQUAL 3 OR NOT text MATCHES "disk_num_start == \\(unsigned long\\)-1")
    message(FATAL_ERROR "${source}/unzip.c is not the minizip 1.1 this build corrects")
  endif()
  string(REPLACE "${wide}" "(ZPOS64_T)0xFFFFFFFFu" text "${text}")
  string(REPLACE "disk_num_start == (unsigned long)-1" "disk_num_start == 0xFFFFu" text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/_minizip/unzip.c.new "${text}")
  configure_file(${CMAKE_BINARY_DIR}/_minizip/unzip.c.new ${CMAKE_BINARY_DIR}/_minizip/unzip.c COPYONLY)

  add_library(vantor_minizip STATIC EXCLUDE_FROM_ALL ${CMAKE_BINARY_DIR}/_minizip/unzip.c ${source}/ioapi.c)
  set_target_properties(vantor_minizip PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(vantor_minizip SYSTEM PUBLIC ${source})
  target_link_libraries(vantor_minizip PUBLIC ${zlib})
  target_compile_options(vantor_minizip PRIVATE -w)  # its warnings are its own
endfunction()
