# Compiler and linker options shared by every target of the project.
# Warnings are errors for our own code only; GoogleTest keeps its own flags.

function(bl_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # 64-bit file offsets on the 32-bit switch too: eMMC partitions are
  # larger than 2 GiB.
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  if(NOT BL_SHIP)
    # Every build the tests run checks each std::span and container index
    # and stops at the first one out of bounds, which a plain build would
    # read past in silence. The shipped builds leave the checks out.
    target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
  endif()
  if(BL_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(BL_FUZZ)
    # Coverage for libFuzzer in every object; the fuzz targets link its
    # driver themselves.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  if(BL_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage)
    target_link_options(${target} PRIVATE --coverage)
  endif()
  if(BL_SHIP)
    # The same commit gives the same bytes wherever it is checked out and
    # built: no source or build directory reaches an object file. The
    # last map that matches wins, so a build folder inside the sources
    # becomes "build". __DATE__, __TIME__ and __TIMESTAMP__ are errors:
    # the day of the build must not reach the bytes either.
    target_compile_options(${target} PRIVATE
      -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
      -ffile-prefix-map=${CMAKE_BINARY_DIR}=build
      -Werror=date-time)
  endif()
endfunction()

# Executables run inside the sandbox's busybox root filesystem and on the
# switch, where no C++ runtime is installed: link them statically. The
# sanitizer runtime cannot be linked statically, so that build stays dynamic.
# A build to ship is stripped: symbols only take room on the switch.
function(bl_executable_options target)
  if(BL_STATIC AND NOT BL_SANITIZE)
    target_link_options(${target} PRIVATE -static)
  endif()
  if(BL_SHIP)
    target_link_options(${target} PRIVATE -s)
  endif()
  if(BL_COVERAGE)
    # A program on the virtual switch often never exits: the reboot ends
    # its namespace and a test stops a switch waiting at a prompt. Its
    # counts are written out whenever it is about to wait (cmake/coverage_flush.c).
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/coverage_flush.c)
    target_link_options(${target} PRIVATE
      -Wl,--wrap=read,--wrap=poll,--wrap=fgets,--wrap=system,--wrap=nanosleep
      -Wl,--wrap=execv,--wrap=execvp,--wrap=pause)
  endif()
endfunction()
