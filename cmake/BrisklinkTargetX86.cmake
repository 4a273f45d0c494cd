# Target build, x86: setup.dll, the 32-bit library the port installer calls.

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Without the C runtime the DLL imports from setupapi, advapi32 and kernel32
# only. Its sources then provide the entry point DllMain and any memset or
# memcpy GCC emits, and use no exceptions, RTTI or global constructors.
# OFF links mingw-w64's runtime (it imports msvcrt.dll).
option(BRISKLINK_SETUP_NO_CRT "Link setup.dll without the C runtime" ON)

brisklink_sources(SETUP_SOURCES setup)
# setup/target: what only the DLL has (its entry point, its export list and,
# without the C runtime, the memory routines GCC may call).
brisklink_sources(SETUP_DLL_SOURCES setup/target)
set(SETUP_DEF_FILE ${PROJECT_SOURCE_DIR}/setup/target/setup.def)
if(SETUP_SOURCES)
  add_library(setup_dll SHARED ${SETUP_SOURCES} ${SETUP_DLL_SOURCES} ${SETUP_DEF_FILE})
  set_target_properties(setup_dll PROPERTIES
    PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${BRISKLINK_SETUP_DLL_NAME} DEFINE_SYMBOL ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  target_include_directories(setup_dll PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/setup)
  target_compile_options(setup_dll PRIVATE
    -Wall -Wextra -Wno-unused-parameter -Wno-multichar
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    # No hosted-library assumptions, and no stack protector (it needs the runtime).
    -ffreestanding -fno-stack-protector)
  # --kill-at: stdcall exports carry their plain names (SetupPortName,
  # not SetupPortName@16).
  target_link_options(setup_dll PRIVATE
    -s -Wl,--kill-at -Wl,--subsystem,windows
    -Wl,--dynamicbase -Wl,--nxcompat)
  if(BRISKLINK_SETUP_NO_CRT)
    target_link_options(setup_dll PRIVATE
      -nostdlib -nostartfiles
      -Wl,--entry,_DllMain@12 -Wl,--require-defined,_DllMain@12)
    target_link_libraries(setup_dll PRIVATE setupapi advapi32 kernel32 gcc)
  else()
    target_link_options(setup_dll PRIVATE -static-libgcc -static-libstdc++)
    target_link_libraries(setup_dll PRIVATE setupapi advapi32 kernel32)
  endif()
endif()

# ---------------------------------------------------------------- blnkctl.exe
# The administrator's console tool, x86 so that it can load setup.dll at run
# time. Like the DLL it has no C runtime: its imports are kernel32, advapi32
# and setupapi, its entry point is its own (tools/blnkctl/target), and the
# memory routines GCC may call come from the DLL's runtime file.
brisklink_sources(BLNKCTL_SOURCES tools/blnkctl)
brisklink_sources(BLNKCTL_EXE_SOURCES tools/blnkctl/target)
if(BLNKCTL_SOURCES)
  add_executable(blnkctl ${BLNKCTL_SOURCES} ${BLNKCTL_EXE_SOURCES} ${PROJECT_SOURCE_DIR}/setup/target/Runtime.cpp)
  set_target_properties(blnkctl PROPERTIES OUTPUT_NAME blnkctl RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_include_directories(blnkctl PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tools/blnkctl)
  target_compile_options(blnkctl PRIVATE
    -Wall -Wextra -Wno-unused-parameter -Wno-multichar
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -ffreestanding -fno-stack-protector)
  target_link_options(blnkctl PRIVATE
    -s -nostdlib -nostartfiles -Wl,--subsystem,console
    -Wl,--entry,_BlnkctlStart -Wl,--require-defined,_BlnkctlStart
    -Wl,--dynamicbase -Wl,--nxcompat)
  # libgcc last: 64-bit division (the rates) and stack probes.
  target_link_libraries(blnkctl PRIVATE setupapi advapi32 kernel32 gcc)
endif()
