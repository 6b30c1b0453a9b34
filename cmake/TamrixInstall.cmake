# Installation: the shared library and its public headers, the CMake package
# (find_package(tamrix CONFIG) -> tamrix::tamrix), a pkg-config file, the
# shipped network, the README and licence; the command-line program and the
# Python module add their own rules. A Debian package of all of it comes from
# CPack (make package).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAMRIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tamrix)

# The public headers go into their own folder: names like nnet.h are too
# general for the top of an include tree.
target_include_directories(tamrix PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tamrix>)
install(TARGETS tamrix EXPORT tamrixTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
    ${PROJECT_SOURCE_DIR}/include/tamrix.h
    ${PROJECT_SOURCE_DIR}/include/tamrix_export.h
    ${PROJECT_SOURCE_DIR}/include/nnet.h
    ${PROJECT_SOURCE_DIR}/include/hostlib.h
    ${PROJECT_BINARY_DIR}/include/tamrix_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tamrix)

install(EXPORT tamrixTargets NAMESPACE tamrix:: DESTINATION ${TAMRIX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tamrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tamrixConfig.cmake
  INSTALL_DESTINATION ${TAMRIX_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tamrixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tamrixConfig.cmake ${PROJECT_BINARY_DIR}/tamrixConfigVersion.cmake
  DESTINATION ${TAMRIX_CMAKE_DIR})

file(RELATIVE_PATH TAMRIX_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tamrix.pc.in ${PROJECT_BINARY_DIR}/tamrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tamrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/data/stars.net DESTINATION ${CMAKE_INSTALL_DATADIR}/tamrix)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(WIN32)
  return()
endif()

# The Debian package: everything above, the program and the Python module,
# under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamrix)
set(CPACK_PACKAGE_VENDOR "the tamrix developers")
set(CPACK_PACKAGE_CONTACT "tamrix developers <tamrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "astronomical image processing library, command-line tool and Python module")
set(CPACK_PACKAGE_DESCRIPTION
  "Calibration, binning, median background filtering, resampling, sub-pixel and affine warps,\
 area statistics, display bitmaps, distortion-surface fitting and star detection (classic and\
 neural) on 16- and 32-bit frames, with the tamrix command-line program (FITS in, FITS, PNG\
 and CSV out) and the tamrix Python module on numpy arrays.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TAMRIX_BUILD_PYTHON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
