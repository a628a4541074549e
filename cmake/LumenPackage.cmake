# Packages with CPack, from any build tree:
#   cpack -G DEB  (Linux): liblumen0 (the shared libraries), liblumen-dev
#                 (headers, CMake and pkg-config files), lumen-sim (the
#                 virtual radios' program). Configure with
#                 -DCMAKE_INSTALL_PREFIX=/usr so the libraries go to the
#                 multiarch directory.
#   cpack -G ZIP  (mingw): one SDK archive with every component.
# The version is the project's; the components come from LumenInstall.cmake.

set(CPACK_PACKAGE_NAME lumen)
set(CPACK_PACKAGE_VENDOR "lumen maintainers")
set(CPACK_PACKAGE_CONTACT "lumen maintainers <maintainers@users.noreply.c-seed-a4c30052.example>")
# CPack puts the summary before each Debian package's own description unless
# the summary is its default: each description starts with its own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# lumenTestApp stays out: the packages carry the library and the simulator.
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET lumen-sim)
  list(APPEND CPACK_COMPONENTS_ALL sim)
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  # The listed components only, in one archive.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblumen${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
      "${PROJECT_DESCRIPTION}
lumen drives Bluegiga BLED112 dongles (BGAPI over a serial port) and
Nordic nRF52 connectivity boards. This package holds the shared library
and, for builds without pc-ble-driver, the virtual nRF52 board it links.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME liblumen-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  # The exported headers include Boost's.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev (>= 1.74)")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
      "${PROJECT_DESCRIPTION} (development files)
The C++20 headers, the CMake package (find_package(lumen)) and the
pkg-config file for building applications on lumen.")

  set(CPACK_DEBIAN_SIM_PACKAGE_NAME lumen-sim)
  set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_SIM_DESCRIPTION
      "Virtual Bluetooth Low Energy radios for testing lumen applications
lumen-sim runs a virtual BLED112 dongle on a pseudo-terminal, playing a
scenario of advertising and connectable peripherals, or replays a capture.")

  # Debian's documentation files, RUNPATHs removed: see the script.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/LumenDebianStage.cmake)
  set(CPACK_LUMEN_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
  set(CPACK_LUMEN_COPYRIGHT ${CMAKE_CURRENT_LIST_DIR}/debian/copyright)
endif()

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Shared libraries")
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS runtime)
cpack_add_component(sim DISPLAY_NAME "Virtual radios" DEPENDS runtime)
