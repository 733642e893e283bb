# The component CRC against zlib's crc32 (bench/crc32_bench.cpp). Included
# from bench/CMakeLists.txt. zlib is linked here only, never into the
# launcher.
find_package(benchmark REQUIRED)
find_package(ZLIB REQUIRED)

# image/crc32.cpp compiled again with the switch's optimisation (-O2),
# whatever the build type of this tree, so that a debug build does not
# compare unoptimised code with a release build of zlib.
add_executable(crc32_bench ${CMAKE_SOURCE_DIR}/bench/crc32_bench.cpp
                           ${CMAKE_SOURCE_DIR}/image/crc32.cpp)
target_compile_options(crc32_bench PRIVATE -O2)
target_include_directories(crc32_bench PRIVATE ${CMAKE_SOURCE_DIR})
# platform_sandbox brings the isolation guard: like every program of the
# launcher's, the benchmark runs only inside the sandbox.
target_link_libraries(crc32_bench PRIVATE platform_sandbox benchmark::benchmark ZLIB::ZLIB)
bl_target_options(crc32_bench)
# Not linked statically: Google Benchmark is installed as a shared library
# only. The sandbox runner binds the host's libraries for such programs.

# A brief smoke run: it checks that both CRCs agree and prints the ratio,
# but never fails on a time.
add_test(NAME crc32-bench
  COMMAND ${CMAKE_SOURCE_DIR}/sandbox/run-tests $<TARGET_FILE:crc32_bench>
          -- --benchmark_min_time=0.01)
