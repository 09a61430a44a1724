# Installing the library: libquil.so with its SONAME, quil.h, a CMake package
# (find_package(quil) gives quil::quil), a pkg-config file (quil.pc), and the
# two programs, which find the library beside them through their rpath.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS quil EXPORT quilTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quil.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set_target_properties(quilctl quilsim PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS quilctl quilsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QUIL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quil)
install(EXPORT quilTargets NAMESPACE quil:: DESTINATION ${QUIL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quilConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/quilConfig.cmake INSTALL_DESTINATION ${QUIL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quilConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quilConfig.cmake ${PROJECT_BINARY_DIR}/quilConfigVersion.cmake
        DESTINATION ${QUIL_CMAKE_DIR})

# The pkg-config file names its prefix relative to where it lies, so the
# installed tree works wherever it is put (cmake --install --prefix).
file(RELATIVE_PATH QUIL_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QUIL_PC_UP "${QUIL_PC_UP}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quil.pc.in ${PROJECT_BINARY_DIR}/quil.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
