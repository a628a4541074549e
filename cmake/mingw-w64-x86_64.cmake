# Cross-builds lumen for 64-bit Windows with Debian's mingw-w64 (posix threads,
# so std::thread and std::mutex work). Header-only dependencies come from
# LUMEN_WINDOWS_DEPS, a folder that holds include/boost and include/nlohmann
# (scripts/windows.sh makes it): /usr/include itself must never be on a mingw
# include path.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_lumen_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_lumen_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_lumen_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_lumen_mingw}-windres)

if(NOT LUMEN_WINDOWS_DEPS AND DEFINED ENV{LUMEN_WINDOWS_DEPS})
  set(LUMEN_WINDOWS_DEPS $ENV{LUMEN_WINDOWS_DEPS})
endif()
# Try-compile projects get the same setting.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMEN_WINDOWS_DEPS)

# Prefixes the user names (an installed lumen, say) are searched as given.
set(CMAKE_FIND_ROOT_PATH /usr/${_lumen_mingw} ${LUMEN_WINDOWS_DEPS} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost is used header-only: FindBoost reads the version from the headers.
if(LUMEN_WINDOWS_DEPS)
  set(Boost_INCLUDE_DIR ${LUMEN_WINDOWS_DEPS}/include CACHE PATH "Boost headers for the Windows build")
endif()
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_NO_SYSTEM_PATHS ON)

# ctest runs the test programs under Wine (WINEPREFIX from the environment).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
