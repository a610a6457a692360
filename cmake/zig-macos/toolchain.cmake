# Builds for macOS from Linux with zig, which brings Clang, libc++ and the macOS C headers and
# links Mach-O itself. scripts/check-macos uses it; nothing that ships is built this way.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos/toolchain.cmake
#   -DZIG=<path of zig>
#   -DZIG_TARGET=aarch64-macos.13.4 | x86_64-macos.13.4      (architecture and minimum macOS)
#   -DZIG_MACOS_INCLUDE=<folder>    optional: headers that zig's macOS headers lack
#
# Programs built this way cannot run here, so GoogleTest's programs are asked for their tests when
# ctest runs them (on a Mac), not after they are linked.
foreach(input ZIG ZIG_TARGET)
  if(NOT ${input})
    message(FATAL_ERROR "zig-macos toolchain: set ${input}")
  endif()
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG ZIG_TARGET ZIG_MACOS_INCLUDE)

set(CMAKE_SYSTEM_NAME Darwin)
string(REGEX MATCH "^[^-]+" _zig_arch "${ZIG_TARGET}")
if(_zig_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_arch})
endif()

set(CMAKE_C_COMPILER "${ZIG}" cc -target ${ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${ZIG_TARGET})
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${ZIG}\" ranlib <TARGET>")
endforeach()

# zig's driver defines _LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS ahead of the command line's
# own flags, which turns off the markup that ties each libc++ feature to the first macOS whose
# system libc++ has it. Undefined again here, any use of a feature newer than the minimum macOS
# fails to compile, as it does with Apple Clang against the system's libc++.
set(_zig_flags "")
if(ZIG_MACOS_INCLUDE)
  string(APPEND _zig_flags " -isystem \"${ZIG_MACOS_INCLUDE}\"")
endif()
set(CMAKE_C_FLAGS_INIT "${_zig_flags}")
set(CMAKE_CXX_FLAGS_INIT "-U_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS${_zig_flags}")

set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Libraries and packages come from the prefixes named in CMAKE_FIND_ROOT_PATH, never from Linux.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
