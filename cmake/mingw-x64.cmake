# Cross toolchain for the 64-bit Windows target (Brisklink.sys, the virtual
# bus driver and, later, the portable system tests run under Wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(BRISKLINK_MINGW_TRIPLE x86_64-w64-mingw32)
# The POSIX thread model: the user-mode programs of this build (GoogleTest
# in the system tests) need std::mutex and std::thread, which Debian's win32
# variant lacks. Kernel images do not use the C++ thread support; they come
# out the same from either variant.
set(CMAKE_C_COMPILER   ${BRISKLINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRISKLINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${BRISKLINK_MINGW_TRIPLE}-windres)

# Debian installs the headers and import libraries under /usr/<triple>.
set(CMAKE_FIND_ROOT_PATH /usr/${BRISKLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
