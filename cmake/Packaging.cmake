# SPDX-License-Identifier: GPL-3.0-or-later
# The package, so that every node of a cluster gets the same files at the
# same path and loses them again on removal: `make package` (CPack) makes
# drives-mpi_<version>_<arch>.deb where dpkg-shlibdeps is, an RPM where only
# rpmbuild is; `cpack -G RPM` in the build directory makes the RPM beside
# the .deb from this same description.
set(DRIVES_PACKAGE_CONTACT "drives_mpi maintainers <maintainers@users.noreply.c-seed-d7a0ad11.example>"
    CACHE STRING "The packages' maintainer, name and address")
set(DRIVES_DOC ${CMAKE_INSTALL_DATADIR}/doc/drives-mpi)

# Debian's places: the licence as copyright, pointing at the system's copy of
# the GPL, and the change log in Debian's form, both gzipped as policy says.
# The page of every command is installed by ManPages.cmake.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.py
          ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION} "${DRIVES_PACKAGE_CONTACT}"
          ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.py
  COMMENT "Writing the change log in Debian's form" VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${DRIVES_DOC})

set(CPACK_PACKAGE_NAME drives-mpi)
set(CPACK_PACKAGE_VENDOR drives_mpi)
set(CPACK_PACKAGE_CONTACT "${DRIVES_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MPI benchmark of the local file system for small clusters")
set(CPACK_PACKAGE_DESCRIPTION [=[
drives_mpi measures the local file system of every node of a small MPI
cluster at once: rank 0 runs each test alone, then every other rank runs
the same tests at the same time on its own node's disk, and the root
reports each worker's figures, their total and the gain over one process.
The tests create and delete files through C++ streams and through system
calls, write and read one byte per call, and copy a file in one call.
.
drives-run starts the benchmark on the nodes of a hostfile, a host list or
a Slurm allocation; drives-results turns its reports into JSON, CSV, charts
and comparisons.]=])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Python writes compiled copies of the tools beside them when root runs
# them; they are no file of the package, so the removal takes them first.
set(DRIVES_PACKAGE_SHARE ${CMAKE_INSTALL_DATADIR}/drives_mpi)
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm.in ${CMAKE_BINARY_DIR}/package/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build")

# The MPI's launcher is a dependency of its own: drives-run calls it, and no
# library names it.
if(DRIVES_MPI STREQUAL mpich)
  set(launcher_deb mpich)
  set(launcher_rpm mpich)
else()
  set(launcher_deb openmpi-bin)
  set(launcher_rpm openmpi)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, ${launcher_deb}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE GPL-3.0-or-later)
set(CPACK_RPM_PACKAGE_REQUIRES "python3, ${launcher_rpm}")
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${CMAKE_BINARY_DIR}/package/prerm)
# The build-id links are for debuggers, which a stripped binary does not serve.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")
# Directories the system owns are no file of this package.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/doc)

find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(RPMBUILD rpmbuild)
if(DPKG_SHLIBDEPS)
  set(CPACK_GENERATOR DEB)
elseif(RPMBUILD)
  set(CPACK_GENERATOR RPM)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
