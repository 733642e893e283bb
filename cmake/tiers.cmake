# The test tiers run by CTest. No test binary ever runs on the machine
# itself: sandbox/run-tests makes a fresh board and runs the binary inside
# the virtual switch, under qemu-ppc-static for the PowerPC build.
set(BL_RUN_TESTS ${CMAKE_SOURCE_DIR}/sandbox/run-tests)

if(CMAKE_CROSSCOMPILING)
  add_test(NAME unit-ppc COMMAND ${BL_RUN_TESTS} --qemu-ppc $<TARGET_FILE:unit_tests>)
elseif(BL_SANITIZE)
  add_test(NAME unit-asan COMMAND ${BL_RUN_TESTS} $<TARGET_FILE:unit_tests>)
else()
  add_test(NAME unit COMMAND ${BL_RUN_TESTS} $<TARGET_FILE:unit_tests>)
  # The sandbox itself, tested from outside: board assembly, isolation,
  # the fake outside programs.
  add_test(NAME sandbox
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/tests/sandbox
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(sandbox PROPERTIES ENVIRONMENT "BL_BUILD_DIR=${CMAKE_BINARY_DIR}")
  # The launcher as an operator sees it on the console of a virtual switch.
  add_test(NAME console
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/tests/console
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(console PROPERTIES ENVIRONMENT "BL_BUILD_DIR=${CMAKE_BINARY_DIR}")
  # Booting a large slot image: memory and time against the floor of plain
  # tools, printed, never failed on. A small image keeps the smoke run short.
  add_test(NAME boot-bench COMMAND ${CMAKE_SOURCE_DIR}/bench/boot_bench.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(boot-bench PROPERTIES ENVIRONMENT "BOOT_BENCH_MIB=16")
  # Installing a large signed application: time against openssl + cp and
  # peak anonymous memory, printed, never failed on. Small in the smoke run.
  add_test(NAME install-bench
    COMMAND ${CMAKE_SOURCE_DIR}/bench/install_bench.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install-bench PROPERTIES ENVIRONMENT "INSTALL_BENCH_MIB=16")
endif()
