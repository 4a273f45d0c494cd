# Host build: everything runs on Linux against the simulated machine.

# ON: AddressSanitizer and UndefinedBehaviorSanitizer (CI's host build).
# thread: ThreadSanitizer, which cannot share a build with ASan; scripts/build.sh
# builds it in a folder of its own (build/host-tsan).
set(BRISKLINK_SANITIZE OFF CACHE STRING "Host build sanitizers: OFF, ON (ASan and UBSan) or thread (TSan)")
set(BRISKLINK_GTEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian package googletest)")

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Debug CACHE STRING "Build type" FORCE)
endif()
# -O1 keeps the sanitizers' reports readable and the tests fast (-g is on
# for every build type, below).
set(CMAKE_CXX_FLAGS_DEBUG "-O1")
set(CMAKE_C_FLAGS_DEBUG "-O1")

# Applies to every target below, GoogleTest included: WCHAR, wchar_t and L""
# are UTF-16 everywhere, so tests, sim and driver agree on wide types.
add_compile_options(-fshort-wchar -g -Wall -Wextra -Wno-unused-parameter -Wno-multichar)

if(BRISKLINK_SANITIZE STREQUAL "thread")
  set(BRISKLINK_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${BRISKLINK_SANITIZER_FLAGS})
  add_link_options(${BRISKLINK_SANITIZER_FLAGS})
elseif(BRISKLINK_SANITIZE)
  set(BRISKLINK_SANITIZER_FLAGS
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${BRISKLINK_SANITIZER_FLAGS})
  add_link_options(${BRISKLINK_SANITIZER_FLAGS})
endif()

find_package(Threads REQUIRED)

# Flags for code that runs in the kernel (driver and vbus), as in the target
# build. RTTI stays on here: tests and the demo derive from driver classes,
# and their type information needs the base classes'. The target build,
# built with -fno-rtti, rejects any typeid or dynamic_cast in driver code.
set(BRISKLINK_KERNEL_CODE_FLAGS -fno-exceptions -fno-threadsafe-statics)

# ------------------------------------------------------------------ the sim
brisklink_sources(SIM_SOURCES sim RECURSE)
if(NOT SIM_SOURCES)
  message(FATAL_ERROR "sim/ has no sources: the host build needs the simulated machine")
endif()
add_library(simkernel STATIC ${SIM_SOURCES})
target_include_directories(simkernel PUBLIC
  ${PROJECT_SOURCE_DIR}/sim/include
  ${PROJECT_SOURCE_DIR}/sim/kernel)
target_link_libraries(simkernel PUBLIC Threads::Threads)

# Libraries every host program links, in link order.
set(BRISKLINK_HOST_LIBS)

# --------------------------------------------------------------- the driver
brisklink_sources(DRIVER_SOURCES driver RECURSE EXCLUDE "${BRISKLINK_TARGET_ONLY_REGEX}")
if(DRIVER_SOURCES)
  add_library(brisklink_host STATIC ${DRIVER_SOURCES})
  target_include_directories(brisklink_host PUBLIC
    ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/driver)
  target_compile_options(brisklink_host PRIVATE ${BRISKLINK_KERNEL_CODE_FLAGS})
  target_link_libraries(brisklink_host PUBLIC simkernel)
  list(APPEND BRISKLINK_HOST_LIBS brisklink_host)
endif()

# ---------------------------------------------------------- the virtual bus
brisklink_sources(VBUS_SOURCES vbus RECURSE EXCLUDE "${BRISKLINK_TARGET_ONLY_REGEX}")
if(VBUS_SOURCES)
  add_library(vbus_host STATIC ${VBUS_SOURCES})
  target_include_directories(vbus_host PUBLIC
    ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/vbus)
  target_compile_options(vbus_host PRIVATE ${BRISKLINK_KERNEL_CODE_FLAGS})
  # Both drivers live in one host program: the bus's entry gets its own name.
  target_compile_definitions(vbus_host PRIVATE DriverEntry=VbusDriverEntry)
  target_link_libraries(vbus_host PUBLIC simkernel)
  list(APPEND BRISKLINK_HOST_LIBS vbus_host)
endif()

# ---------------------------------------------------------------- the setup
brisklink_sources(SETUP_SOURCES setup)
if(SETUP_SOURCES)
  add_library(setup_host STATIC ${SETUP_SOURCES})
  # setup/ too: tests call the library's steps (PortNaming.h) one by one.
  target_include_directories(setup_host PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/setup)
  # As in the target build, where setup.dll has no C++ runtime to lean on.
  target_compile_options(setup_host PRIVATE ${BRISKLINK_KERNEL_CODE_FLAGS})
  target_link_libraries(setup_host PUBLIC simkernel)
  list(APPEND BRISKLINK_HOST_LIBS setup_host)
endif()

# ------------------------------------------------------------ the blnkctl tool
# The tool's commands as a library that tests call (BlnkctlMain) on the
# simulated machine; tools/blnkctl/target holds the Windows program's entry.
brisklink_sources(BLNKCTL_SOURCES tools/blnkctl)
if(BLNKCTL_SOURCES)
  add_library(blnkctl_host STATIC ${BLNKCTL_SOURCES})
  target_include_directories(blnkctl_host PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tools/blnkctl)
  # As in blnkctl.exe, which has no C++ runtime to lean on.
  target_compile_options(blnkctl_host PRIVATE ${BRISKLINK_KERNEL_CODE_FLAGS})
  target_link_libraries(blnkctl_host PUBLIC simkernel)
  list(PREPEND BRISKLINK_HOST_LIBS blnkctl_host)
endif()

list(APPEND BRISKLINK_HOST_LIBS simkernel)

# ----------------------------------------------------------------- the tests
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${BRISKLINK_GTEST_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)
enable_testing()

brisklink_sources(TEST_COMMON_SOURCES tests/common)
if(TEST_COMMON_SOURCES)
  add_library(test_common STATIC ${TEST_COMMON_SOURCES})
  target_include_directories(test_common PUBLIC ${PROJECT_SOURCE_DIR}/tests/common)
  target_link_libraries(test_common PUBLIC gtest gmock ${BRISKLINK_HOST_LIBS})
endif()

# One GoogleTest program per folder. Each test runs in a process of its own:
# the driver keeps process-wide state, and a fresh process is a fresh driver
# image on a fresh machine.
function(brisklink_add_test_program name dir)
  brisklink_sources(srcs ${dir})
  # A test folder's host/ subfolder holds what only the simulated machine has
  # (for the portable system tests: how the machine is brought up).
  brisklink_sources(host_srcs ${dir}/host)
  list(APPEND srcs ${host_srcs})
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${dir})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  brisklink_has_main(own_main ${srcs})
  if(own_main)
    target_link_libraries(${name} PRIVATE gtest gmock)
  else()
    target_link_libraries(${name} PRIVATE gtest_main gmock)
  endif()
  if(TARGET test_common)
    target_link_libraries(${name} PRIVATE test_common)
  endif()
  target_link_libraries(${name} PRIVATE ${BRISKLINK_HOST_LIBS})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS ${name})
endfunction()

brisklink_add_test_program(unit_tests tests/unit)
brisklink_add_test_program(sim_tests tests/sim)
brisklink_add_test_program(system_tests tests/system)

# ------------------------------------------------------------------ the demo
brisklink_sources(DEMO_SOURCES tools/demo)
if(DEMO_SOURCES)
  add_executable(brisklink-demo ${DEMO_SOURCES})
  set_target_properties(brisklink-demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools/demo)
  # The demo drives the machine with the tests' helpers (probe devices).
  target_include_directories(brisklink-demo PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  if(TARGET test_common)
    target_link_libraries(brisklink-demo PRIVATE test_common)
  endif()
  target_link_libraries(brisklink-demo PRIVATE ${BRISKLINK_HOST_LIBS})
endif()

# ------------------------------------------------------------ the benchmarks
# Measurements, not pass/fail tests; ctest runs each benchmark once, briefly
# (--brisklink_smoke), and fails only when one reports an error.
brisklink_sources(BENCH_SOURCES tests/bench)
if(BENCH_SOURCES)
  find_package(benchmark REQUIRED)
  add_executable(brisklink_bench ${BENCH_SOURCES})
  set_target_properties(brisklink_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bench)
  target_include_directories(brisklink_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  brisklink_has_main(own_main ${BENCH_SOURCES})
  if(own_main)
    target_link_libraries(brisklink_bench PRIVATE benchmark::benchmark)
  else()
    target_link_libraries(brisklink_bench PRIVATE benchmark::benchmark_main)
  endif()
  target_link_libraries(brisklink_bench PRIVATE ${BRISKLINK_HOST_LIBS})
  foreach(bm BM_ReceivePath BM_ReceiveLatency BM_WritePath BM_WritePathAtOnce BM_PortsReceive)
    add_test(NAME bench_smoke.${bm}
             COMMAND brisklink_bench --brisklink_smoke --benchmark_filter=^${bm}/ --benchmark_color=false)
  endforeach()
endif()
