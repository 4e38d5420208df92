# What `cmake --install` and `make install` put on a system, and the Debian
# package made from the same rules (`make package`):
#   lib/libtovdrv.so.1.0.0, its SONAME link and the development link
#   include/tovdrv.h and tovscan.h, lib/pkgconfig/tovdrv.pc, lib/cmake/tovdrv/ (tovdrv::tovdrv)
#   bin/tovcon, bin/k73sim, bin/k73log, share/man/man1/{tovcon,k73sim,k73log}.1
#   lib/python3/dist-packages/k73 (the Python package, for Debian's python3)
#   lib/systemd/system/k73log@.service, share/doc/.../examples/bench3.conf
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TOVDRV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tovdrv)

set_target_properties(tovdrv PROPERTIES PUBLIC_HEADER
                      "${PROJECT_SOURCE_DIR}/common/tovdrv.h;${PROJECT_SOURCE_DIR}/common/tovscan.h")
install(TARGETS tovdrv EXPORT tovdrvTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(K73_PROGRAMS tovcon k73log)
if(NOT WIN32)
  list(APPEND K73_PROGRAMS k73sim)  # the simulator runs on a pseudo-terminal
endif()
foreach(program ${K73_PROGRAMS})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${program}.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endforeach()

# The Python package where Debian's python3 finds it under /usr (the .deb);
# under another prefix, put that directory on PYTHONPATH. Pure Python: it
# loads the installed driver by its SONAME.
if(NOT WIN32)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/k73 DESTINATION lib/python3/dist-packages
          COMPONENT runtime FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
          PATTERN "__pycache__" EXCLUDE)
endif()

# CMake package: find_package(tovdrv) gives the imported target tovdrv::tovdrv.
install(EXPORT tovdrvTargets NAMESPACE tovdrv:: DESTINATION ${TOVDRV_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tovdrvConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/tovdrvConfig.cmake
                              INSTALL_DESTINATION ${TOVDRV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tovdrvConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tovdrvConfig.cmake ${CMAKE_BINARY_DIR}/tovdrvConfigVersion.cmake
        DESTINATION ${TOVDRV_CMAKE_DIR} COMPONENT development)

# pkg-config file. The prefix is the one in force when installing (it may be
# given with `cmake --install --prefix` or by CPack), so the file is written
# then, from a template whose other fields are filled in now.
set(TOVDRV_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tovdrv.pc.in ${CMAKE_BINARY_DIR}/tovdrv.pc.in @ONLY)
install(CODE "configure_file(\"${CMAKE_BINARY_DIR}/tovdrv.pc.in\" \"${CMAKE_BINARY_DIR}/tovdrv.pc\" @ONLY)"
        COMPONENT development)
install(FILES ${CMAKE_BINARY_DIR}/tovdrv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# k73log as a service: the systemd template unit (k73log@NAME reads
# /etc/k73/NAME.conf), written at install time for the prefix in force, and
# an example configuration.
if(K73LOG_PUBLISHES)
  set(K73LOG_UNIT_PREFIX "@CMAKE_INSTALL_PREFIX@")
  install(CODE "configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/k73log@.service.in\" \"${CMAKE_BINARY_DIR}/k73log@.service\" @ONLY)"
          COMPONENT runtime)
  install(FILES ${CMAKE_BINARY_DIR}/k73log@.service DESTINATION lib/systemd/system
          COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/bench3.conf
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT runtime)
endif()

# Debian package: everything above in one package, installed under /usr.
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME k73-tools)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "Model K73 software team <k73@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Model K73 serial A/D converter: driver, console program, simulator, Python package")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
         "The tovdrv driver library with its C header, pkg-config and CMake files, the\n"
         "full-screen console program tovcon, k73sim, a simulated converter on a\n"
         "pseudo-terminal for trying everything without hardware, and the Python\n"
         "package k73 (import k73) for the system's python3.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-numpy, python3-pandas, python3-matplotlib")
  include(CPack)
endif()
