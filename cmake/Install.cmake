# Installs the two libraries, their headers, a CMake package
# (find_package(rendergraph) gives rendergraph::rg and rendergraph::rghost)
# and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS rg rghost EXPORT rendergraphTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/rg
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/rghost
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT rendergraphTargets NAMESPACE rendergraph::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rendergraph)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/rendergraphConfig.cmake.in
  ${PROJECT_BINARY_DIR}/rendergraphConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rendergraph)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rendergraphConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rendergraphConfig.cmake
  ${PROJECT_BINARY_DIR}/rendergraphConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/rendergraph)

# The pkg-config file finds the prefix from where it lies, so an installed
# tree still works after it is moved. No language standard is forced on
# consumers: the headers need C++17, the default of current compilers.
file(RELATIVE_PATH RG_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" RG_PC_TO_PREFIX "${RG_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/rendergraph.pc.in
  ${PROJECT_BINARY_DIR}/rendergraph.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rendergraph.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
