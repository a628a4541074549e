include(CMakePackageConfigHelpers)

# Components, for the packages (LumenPackage.cmake): runtime, dev and sim.
install(TARGETS lumen EXPORT lumenTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# Built without pc-ble-driver, the library links the virtual nRF52 board in
# its place: the board and the simulator it runs on go with it.
if(LUMEN_VIRTUAL_NRF52)
  # Versioned as the library is, for the packages' shared library rules.
  set_target_properties(lumen_nrf52_board lumen_sim PROPERTIES VERSION ${PROJECT_VERSION}
                                                               SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS lumen_nrf52_board lumen_sim EXPORT lumenTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
# The virtual radios' program, on the simulator library installed above.
if(TARGET lumen-sim)
  set_target_properties(lumen-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS lumen-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  install(FILES sim/lumen-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
endif()
install(DIRECTORY include/lumen DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT lumenTargets NAMESPACE lumen:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen COMPONENT dev)

configure_package_config_file(cmake/lumenConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/lumenConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen COMPONENT dev)

# pkg-config's file finds the prefix from where it lies: lib/pkgconfig or,
# on Debian, lib/<multiarch>/pkgconfig.
file(RELATIVE_PATH LUMEN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LUMEN_PC_TO_PREFIX "${LUMEN_PC_TO_PREFIX}")
configure_file(cmake/lumen.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumen.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumen.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# mingw-w64's runtime DLLs beside lumen.dll, so the installed tree runs as is.
if(MINGW)
  foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${runtime_path}" AND EXISTS "${runtime_path}")
      install(FILES ${runtime_path} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endif()
  endforeach()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/LumenPackage.cmake)
