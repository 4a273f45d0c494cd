# Target build, x64: the kernel-mode drivers as Windows images.

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")

# CMake's Windows-GNU platform links kernel32, user32 and friends into every
# image by default; a driver must import from the kernel only, and user-mode
# programs of this build name their libraries themselves.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# mingw-w64 keeps the kernel headers (ntddk.h, wdm.h, usbdlib.h) in include/ddk.
find_path(BRISKLINK_DDK_INCLUDE_DIR ntddk.h
  PATHS /usr/${BRISKLINK_MINGW_TRIPLE}/include/ddk /usr/share/mingw-w64/include/ddk
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT BRISKLINK_DDK_INCLUDE_DIR)
  message(FATAL_ERROR "mingw-w64 kernel headers (ddk/ntddk.h) not found: run scripts/install-deps.sh")
endif()

set(BRISKLINK_KERNEL_COMPILE_FLAGS
  -Wall -Wextra -Wno-unused-parameter -Wno-multichar
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  # No hosted-library assumptions: GCC must not turn code into calls of C
  # library routines the kernel lacks. memcpy/memset/memmove/memcmp, which
  # GCC may still emit, come from ntoskrnl.exe.
  -ffreestanding
  -fno-stack-protector -mno-red-zone
  # Unwind tables (.pdata/.xdata) stay: the x64 kernel walks driver stacks
  # with them (bug checks, debuggers, stack traces).
  # Searched after the ordinary headers, so only the kernel-only ones come
  # from ddk/ (a few names exist in both folders).
  "SHELL:-idirafter ${BRISKLINK_DDK_INCLUDE_DIR}")
# The DDK headers' own quirks (for example mingw-w64's wdm.h redefining two
# intrinsics, which C++ rejects) are handled in driver/core/Platform.h.

set(BRISKLINK_KERNEL_LINK_FLAGS
  -nostdlib -nostartfiles -s
  -Wl,--subsystem,native
  -Wl,--wdmdriver
  -Wl,--image-base,0x140000000
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--stack,0x40000
  # A driver exports nothing; without this ld exports every global symbol.
  -Wl,--exclude-all-symbols
  # Auto-import and pseudo-relocations need the C runtime's start-up code,
  # which a driver does not have: a data import without dllimport must fail
  # the link instead of failing at load.
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)

# brisklink_add_kernel_driver(<target> <output name> <entry symbol> <sources>...)
# Links a WDM driver image <output name>.sys into the build folder.
function(brisklink_add_kernel_driver target output entry)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".sys" OUTPUT_NAME ${output} DEFINE_SYMBOL ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  target_compile_options(${target} PRIVATE ${BRISKLINK_KERNEL_COMPILE_FLAGS})
  target_link_options(${target} PRIVATE ${BRISKLINK_KERNEL_LINK_FLAGS}
    -Wl,--entry,${entry} -Wl,--require-defined,${entry})
  # libgcc last: 128-bit arithmetic and ___chkstk_ms for large frames.
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd gcc)
endfunction()

brisklink_sources(DRIVER_SOURCES driver RECURSE EXCLUDE "${BRISKLINK_HOST_ONLY_REGEX}")
if(DRIVER_SOURCES)
  brisklink_add_kernel_driver(brisklink_sys ${BRISKLINK_SYS_NAME} ${BRISKLINK_SYS_ENTRY} ${DRIVER_SOURCES})
  target_include_directories(brisklink_sys PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/driver)
endif()

brisklink_sources(VBUS_SOURCES vbus RECURSE EXCLUDE "${BRISKLINK_HOST_ONLY_REGEX}")
if(VBUS_SOURCES)
  brisklink_add_kernel_driver(vbus_sys ${BRISKLINK_VBUS_SYS_NAME} ${BRISKLINK_VBUS_ENTRY} ${VBUS_SOURCES})
  target_include_directories(vbus_sys PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/vbus)
endif()

# The INF, the portable system tests and the other Windows programs that
# drive the drivers (under Wine in CI).
include(BrisklinkWine)
