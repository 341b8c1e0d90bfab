# SPDX-License-Identifier: GPL-3.0-or-later
# The package, so that every node of a cluster gets the same files at the
# same path and loses them again on removal: `make package` (CPack) makes
# drives-mpi_<version>_<arch>.deb where dpkg-shlibdeps is, an RPM where only
# rpmbuild is; `cpack -G RPM` in the build directory makes the RPM beside
# the .deb from this same description.
# The maintainer is whoever makes the package, found as Debian's dch finds
# them: DEBFULLNAME and DEBEMAIL (or EMAIL), else their account on this
# host. No address is made up: one that receives no mail is worse than a
# local one, which lintian refuses (set DEBEMAIL for a package to publish).
# Looked for once: the cache keeps what was found, or what was given.
function(drives_package_contact)
  set(name "$ENV{DEBFULLNAME}")
  set(mail "$ENV{DEBEMAIL}")
  if(NOT mail)
    set(mail "$ENV{EMAIL}")
  endif()
  if(NOT mail)
    execute_process(COMMAND id -un OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    cmake_host_system_information(RESULT host QUERY FQDN)
    if(EXISTS /etc/mailname)
      file(STRINGS /etc/mailname host LIMIT_COUNT 1)
    endif()
    set(mail "${user}@${host}")
  endif()
  if(mail MATCHES "<")
    set(contact "${mail}")
  else()
    if(NOT name)
      set(name "drives_mpi packager")
    endif()
    set(contact "${name} <${mail}>")
  endif()
  set(DRIVES_PACKAGE_CONTACT "${contact}" CACHE STRING "The packages' maintainer: name <address>")
endfunction()
if(NOT DEFINED CACHE{DRIVES_PACKAGE_CONTACT})
  drives_package_contact()
endif()
# A version Debian and RPM order as SemVer does: 1.1.0~dev+g1a2b3c4 comes
# before 1.1.0.
string(REPLACE "-" "~" DRIVES_PACKAGE_VERSION ${DRIVES_VERSION})

# Debian's places: the licence as copyright, pointing at the system's copy of
# the GPL, and the change log in Debian's form, both gzipped as policy says.
# The page of every command is installed by ManPages.cmake.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.py
          ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${DRIVES_PACKAGE_VERSION} "${DRIVES_PACKAGE_CONTACT}"
          "${DRIVES_DATE}" ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/debian_changelog.py
  COMMENT "Writing the change log in Debian's form" VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${DRIVES_DOC})

set(CPACK_PACKAGE_NAME drives-mpi)
set(CPACK_PACKAGE_VENDOR drives_mpi)
set(CPACK_PACKAGE_CONTACT "${DRIVES_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${DRIVES_PACKAGE_VERSION})
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
# Python writes compiled copies of the tools beside them when root runs
# them; they are no file of the package, so the removal takes them first.
# Packages install under /usr, and nowhere else (cmake/cpack_project.cmake.in).
set(DRIVES_PACKAGE_PREFIX /usr)
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm.in ${CMAKE_BINARY_DIR}/package/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake.in ${CMAKE_BINARY_DIR}/cpack_project.cmake
               @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_project.cmake)
set(CPACK_STRIP_FILES ON)

# The source tarball (`package_source`), as packagers and Spack download a
# release: drives-mpi-<version>.tar.gz, the sources but git's own files,
# build directories and what runs leave, and the VERSION file that says what
# it is, which its install step adds.
file(WRITE ${CMAKE_BINARY_DIR}/source_steps.cmake
     "file(INSTALL \"${CMAKE_BINARY_DIR}/VERSION\" "
     "DESTINATION \"\${CMAKE_INSTALL_PREFIX}/tools/drives_tools\")\n")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME drives-mpi-${DRIVES_VERSION})
set(CPACK_VERBATIM_VARIABLES ON)
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" source_pattern "${PROJECT_SOURCE_DIR}")
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" binary_pattern "${CMAKE_BINARY_DIR}")
set(CPACK_SOURCE_IGNORE_FILES "^${binary_pattern}/"
    "^${source_pattern}/(\\.git|\\.mypy_cache|build[^/]*|run|flake-hunt)(/|$)" "/__pycache__/")

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
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= 3.8), ${launcher_deb}")
# drives-results chart draws with it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3-matplotlib)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE GPL-3.0-or-later)
set(CPACK_RPM_PACKAGE_GROUP Applications/System)
string(REGEX REPLACE "\n\\.\n" "\n\n" CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_REQUIRES "python3 >= 3.8, ${launcher_rpm}")
# Its removal script names the one place it installs to.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${CMAKE_BINARY_DIR}/package/prerm)
# The build-id links are for debuggers, which a stripped binary does not
# serve; the times in the package are the commit's, as in the .deb.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_epoch 1")
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
