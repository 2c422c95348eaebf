# What `cmake --install` puts under the prefix, and the packages CPack
# makes of it: the programs, libkestro (static and shared) with its header,
# a CMake package (Kestro::kestro, Kestro::kestro_static), kestro.pc, the
# manual pages, the format document and the copyright file.
include(CMakePackageConfigHelpers)

install(TARGETS kestro kestro-info)
install(TARGETS kestro_shared kestro_core EXPORT KestroTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/kestro/kestro.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestro)
# `cmake --install --strip` (and CPack) strips the programs and the shared
# library; the static library keeps its symbols and loses its debug
# information.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:kestro_core>\")
endif()")

set(kestro_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Kestro)
install(EXPORT KestroTargets NAMESPACE Kestro:: DESTINATION ${kestro_cmake_dir})
configure_package_config_file(cmake/KestroConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestroConfig.cmake INSTALL_DESTINATION ${kestro_cmake_dir})
# The C interface keeps its calls and codes within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestroConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestroConfig.cmake
  ${PROJECT_BINARY_DIR}/KestroConfigVersion.cmake DESTINATION ${kestro_cmake_dir})

# kestro.pc finds the prefix from its own place, so the tree can be
# installed or unpacked anywhere.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(KESTRO_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  set(KESTRO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(KESTRO_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(KESTRO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(IS_ABSOLUTE ${pc_dir})
  set(KESTRO_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH up /prefix/${pc_dir} /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(KESTRO_PC_PREFIX "\${pcfiledir}/${up}")
endif()
# The DLL's users declare its functions dllimport.
set(KESTRO_PC_CFLAGS "")
if(WIN32)
  set(KESTRO_PC_CFLAGS " -DKESTRO_SHARED")
endif()
# The static library's users link libdivsufsort too where it was built with
# it.
set(KESTRO_PC_REQUIRES "")
if(KESTRO_DIVSUFSORT)
  set(KESTRO_PC_REQUIRES " libdivsufsort")
endif()
configure_file(cmake/kestro.pc.in ${PROJECT_BINARY_DIR}/kestro.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestro.pc DESTINATION ${pc_dir})

# The manual pages go compressed, as Debian's policy asks of a package, and
# so in every install tree alike; gzip -n leaves out the name and the time,
# so that every build makes the same bytes.
find_program(KESTRO_GZIP gzip REQUIRED)
set(kestro_man_pages "")
foreach(page kestro.1 kestro-info.1)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/${page} ${PROJECT_BINARY_DIR}/man/${page}
    COMMAND ${KESTRO_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/${page}
    DEPENDS doc/${page} VERBATIM)
  list(APPEND kestro_man_pages ${compressed})
endforeach()
add_custom_target(kestro_manual_pages ALL DEPENDS ${kestro_man_pages})
install(FILES ${kestro_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# copyright is the Debian copyright file of the package, and the project's
# copyright statement in any install tree.
install(FILES doc/FORMAT.md README.md doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Packages: `cpack -G DEB` on Linux, `cpack -G ZIP` from the Windows cross
# build. The .deb installs under /usr.
set(KESTRO_MAINTAINER "Kestro maintainers <kestro@example.org>" CACHE STRING
  "Maintainer named in the packages")
set(CPACK_PACKAGE_NAME kestro)
set(CPACK_PACKAGE_VENDOR "Kestro")
set(CPACK_PACKAGE_CONTACT "${KESTRO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make and apply binary delta files for PE and ELF programs and libraries")
set(CPACK_PACKAGE_DESCRIPTION "Kestro makes a delta file that turns one version of a Windows
executable or library into a newer one, and applies it: the file it was
made from is checked by version and checksum, and either replaced whole by
the newer file or left as it was. The package holds the programs kestro
and kestro-info, and libkestro with its C interface (kestro/kestro.h) as a
static and a shared library, with a CMake package and a pkg-config file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for packages that link libkestro.so.1, and the ldconfig
# trigger that a package holding a shared library needs.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
