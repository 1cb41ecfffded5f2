# The installable package for application authors: install rules for the tool, the launcher image,
# the header and the CMake package config (TavrinOnefileConfig.cmake with tavrin_add_onefile).
#
# `cmake --install` lays out
#   bin/tavrin-pack[.exe]                      the packer
#   share/tavrin-onefile/tavrin-launcher.exe   the launcher image that the packer copies
#   include/tavrin/onefile.h                   the header for application DLLs
#   lib/cmake/TavrinOnefile/                   the CMake package: tavrin_add_onefile(...), and the
#                                              list of its arguments that go to tavrin-pack
# The Windows build installs its own launcher image. The host build has none: give it the Windows
# build's with -DTAVRIN_LAUNCHER_IMAGE=<windows build>/launcher/tavrin-launcher.exe (scripts/test.sh
# does), or install without it and set TAVRIN_ONEFILE_LAUNCHER when using the package.
# Included from packer/CMakeLists.txt, which sets TAVRIN_INSTALL_BINDIR and TAVRIN_INSTALL_DATADIR.
include(CMakePackageConfigHelpers)

set(TAVRIN_LAUNCHER_IMAGE "" CACHE FILEPATH "Launcher image that the host build installs (from the Windows build)")
set(TAVRIN_INSTALL_INCLUDEDIR include)
set(TAVRIN_INSTALL_CMAKEDIR lib/cmake/TavrinOnefile)

# The package's version: the product's, from resources/product.h.
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/product.h tavrin_version_line REGEX "define TAVRIN_PRODUCT_VERSION_TEXT ")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" TAVRIN_PACKAGE_VERSION "${tavrin_version_line}")

install(TARGETS tavrin-pack RUNTIME DESTINATION ${TAVRIN_INSTALL_BINDIR})
if(WIN32)
    install(PROGRAMS $<TARGET_FILE:tavrin-launcher> DESTINATION ${TAVRIN_INSTALL_DATADIR})
elseif(TAVRIN_LAUNCHER_IMAGE)
    install(PROGRAMS ${TAVRIN_LAUNCHER_IMAGE} DESTINATION ${TAVRIN_INSTALL_DATADIR} RENAME tavrin-launcher.exe)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/tavrin/onefile.h DESTINATION ${TAVRIN_INSTALL_INCLUDEDIR}/tavrin)

set(tavrin_package_dir ${CMAKE_BINARY_DIR}/package)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TavrinOnefileConfig.cmake.in
    ${tavrin_package_dir}/TavrinOnefileConfig.cmake
    INSTALL_DESTINATION ${TAVRIN_INSTALL_CMAKEDIR}
    PATH_VARS TAVRIN_INSTALL_BINDIR TAVRIN_INSTALL_DATADIR TAVRIN_INSTALL_INCLUDEDIR
    NO_CHECK_REQUIRED_COMPONENTS_MACRO)
write_basic_package_version_file(${tavrin_package_dir}/TavrinOnefileConfigVersion.cmake
    VERSION ${TAVRIN_PACKAGE_VERSION}
    COMPATIBILITY SameMajorVersion
    ARCH_INDEPENDENT)
install(FILES
    ${tavrin_package_dir}/TavrinOnefileConfig.cmake
    ${tavrin_package_dir}/TavrinOnefileConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/TavrinOnefileOptions.cmake
    DESTINATION ${TAVRIN_INSTALL_CMAKEDIR})
