include(CMakePackageConfigHelpers)

install(TARGETS lumen EXPORT lumenTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Built without pc-ble-driver, the library links the virtual nRF52 board in
# its place: the board and the simulator it runs on go with it.
if(LUMEN_VIRTUAL_NRF52)
  install(TARGETS lumen_nrf52_board lumen_sim EXPORT lumenTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY include/lumen DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT lumenTargets NAMESPACE lumen:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen)

configure_package_config_file(cmake/lumenConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/lumenConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/lumenConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/lumen)

configure_file(cmake/lumen.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumen.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumen.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# mingw-w64's runtime DLLs beside lumen.dll, so the installed tree runs as is.
if(MINGW)
  foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${runtime_path}" AND EXISTS "${runtime_path}")
      install(FILES ${runtime_path} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
endif()
