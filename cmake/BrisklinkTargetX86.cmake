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
