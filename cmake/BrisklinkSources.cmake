# Source discovery shared by the host and target builds.
#
# Every folder is globbed with CONFIGURE_DEPENDS, so adding or removing a
# source file re-runs the configure step on the next build.
#
# Driver and vbus code is identical in both builds. The rare file that can
# only exist in one of them (for example the kernel C++ runtime support that
# defines operator delete, which on the host must stay libstdc++'s) lives in
# a folder named `target/` or `host/` below its component folder.
set(BRISKLINK_TARGET_ONLY_REGEX "/target/")
set(BRISKLINK_HOST_ONLY_REGEX "/host/")

# brisklink_sources(<out-var> <folder relative to the source root>
#                   [RECURSE] [EXCLUDE <regex>])
function(brisklink_sources out dir)
  cmake_parse_arguments(ARG "RECURSE" "EXCLUDE" "" ${ARGN})
  set(pattern "${PROJECT_SOURCE_DIR}/${dir}/*.cpp")
  if(ARG_RECURSE)
    file(GLOB_RECURSE files CONFIGURE_DEPENDS "${pattern}")
  else()
    file(GLOB files CONFIGURE_DEPENDS "${pattern}")
  endif()
  if(ARG_EXCLUDE AND files)
    list(FILTER files EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  list(SORT files)
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

# True when one of `files` defines its own main(), so the program links
# gtest (or benchmark) instead of the *_main library.
function(brisklink_has_main out)
  set(found FALSE)
  foreach(f IN LISTS ARGN)
    file(STRINGS "${f}" hits REGEX "^[ \t]*int[ \t]+main[ \t]*\\(")
    if(hits)
      set(found TRUE)
      break()
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
