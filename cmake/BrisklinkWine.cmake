# Target build, x64: the Windows programs that drive the real drivers (under
# Wine in CI, or on a Windows machine with the bus installed):
#   system_tests.exe      the portable system tests (tests/system), with the
#                         Windows platform layer (tests/system/target), the
#                         setup library's code (setup/) and blnkctl's commands
#   blnk-session.exe      keeps a Wine session alive, waits for a device
#   brisklink-demo.exe    the demo client (tools/demo/client)
# and the driver package's INF beside Brisklink.sys.
#
# These are ordinary user-mode programs: exceptions and RTTI are allowed, and
# everything (libgcc, libstdc++, winpthreads, GoogleTest) is linked
# statically, so each .exe runs with nothing but the system's own DLLs.

set(BRISKLINK_GTEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian package googletest)")

set(BRISKLINK_USER_COMPILE_FLAGS -Wall -Wextra -Wno-unused-parameter -Wno-multichar)
set(BRISKLINK_USER_LINK_FLAGS -static -Wl,--subsystem,console)

# brisklink_add_user_program(<target> <output name> <sources>...)
function(brisklink_add_user_program target output)
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${output} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_compile_options(${target} PRIVATE ${BRISKLINK_USER_COMPILE_FLAGS})
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tests/common)
  target_link_options(${target} PRIVATE ${BRISKLINK_USER_LINK_FLAGS})
  target_link_libraries(${target} PRIVATE kernel32 user32 advapi32 setupapi)
endfunction()

# ----------------------------------------------------------- the INF
if(EXISTS ${PROJECT_SOURCE_DIR}/driver/${BRISKLINK_SYS_NAME}.inf)
  configure_file(${PROJECT_SOURCE_DIR}/driver/${BRISKLINK_SYS_NAME}.inf
                 ${CMAKE_BINARY_DIR}/${BRISKLINK_SYS_NAME}.inf COPYONLY)
endif()

# ---------------------------------------------------- session helper
brisklink_sources(SESSION_SOURCES tools/wine)
if(SESSION_SOURCES)
  brisklink_add_user_program(blnk_session blnk-session ${SESSION_SOURCES})
endif()

# ------------------------------------------------ portable system tests
brisklink_sources(SYSTEM_TEST_SOURCES tests/system)
brisklink_sources(SYSTEM_TEST_TARGET_SOURCES tests/system/target)
# The setup library's sources are compiled into the tests, so the same code
# setup.dll is made of runs against this platform's setupapi (setup/target,
# the DLL's own entry and runtime, stays out).
brisklink_sources(SETUP_SOURCES setup)
# And blnkctl's commands, which its tests call in the test program (the
# rename needs the x86 setup.dll, so under Wine the x86 blnkctl.exe runs it).
brisklink_sources(BLNKCTL_SOURCES tools/blnkctl)
if(SYSTEM_TEST_SOURCES AND SYSTEM_TEST_TARGET_SOURCES)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BRISKLINK_GTEST_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  brisklink_add_user_program(system_tests system_tests
    ${SYSTEM_TEST_SOURCES} ${SYSTEM_TEST_TARGET_SOURCES} ${SETUP_SOURCES} ${BLNKCTL_SOURCES})
  target_include_directories(system_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/system ${PROJECT_SOURCE_DIR}/setup
    ${PROJECT_SOURCE_DIR}/tools/blnkctl)
  brisklink_has_main(own_main ${SYSTEM_TEST_SOURCES} ${SYSTEM_TEST_TARGET_SOURCES})
  if(own_main)
    target_link_libraries(system_tests PRIVATE gtest)
  else()
    target_link_libraries(system_tests PRIVATE gtest_main)
  endif()
endif()

# ------------------------------------------------------ the demo client
brisklink_sources(DEMO_CLIENT_SOURCES tools/demo/client)
if(DEMO_CLIENT_SOURCES)
  brisklink_add_user_program(brisklink_demo_client brisklink-demo ${DEMO_CLIENT_SOURCES})
endif()
