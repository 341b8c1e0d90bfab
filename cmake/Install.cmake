# SPDX-License-Identifier: GPL-3.0-or-later
# The install: drives_mpi, the tools beside it, the version and the licence;
# a record of what it made, which the `uninstall` target takes back. A
# package (DEB, RPM) installs the same files, but for the two that depend on
# the system it is for (cmake/install_steps.cmake.in).
include(GNUInstallDirs)
if(NOT DRIVES_TEST_SCALE EQUAL 1)
  install(CODE "message(FATAL_ERROR \"This is a test build (DRIVES_TEST_SCALE=${DRIVES_TEST_SCALE}): \"
                \"every count and size is divided by ${DRIVES_TEST_SCALE}, so it is neither \"
                \"installed nor packaged. Configure with -DDRIVES_TEST_SCALE=1 for a release build.\")")
endif()
set(DRIVES_SHARE ${CMAKE_INSTALL_DATADIR}/drives_mpi)
set(DRIVES_DOC ${CMAKE_INSTALL_DATADIR}/doc/drives-mpi)
set(DRIVES_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${DRIVES_SHARE}/drives_tools
    ${CMAKE_INSTALL_MANDIR}/man1 ${DRIVES_DOC})
set(DRIVES_INSTALL_RECORD ${CMAKE_BINARY_DIR}/install_record.txt)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install_steps.cmake.in ${CMAKE_BINARY_DIR}/install_steps.cmake
               @ONLY)
install(CODE "include(\"${CMAKE_BINARY_DIR}/install_steps.cmake\")\ndrives_install_begin()")

# The installed binary finds the MPI it was built with also once the module
# that put it on the library path is unloaded.
drives_mpi_run_path(run_path ${MPI_C_LIBRARIES})
set_target_properties(drives_mpi PROPERTIES INSTALL_RPATH "${run_path}")
install(TARGETS drives_mpi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The tools beside the benchmark, one Python package: drives-run, the
# launcher, and drives-results, the reader of result files and consoles.
# Each command in bin runs its module from share/drives_mpi, through any link
# to it, on the Python found here, the one the set-up installed matplotlib
# for; in a package on the system's own, /usr/bin/python3.
file(RELATIVE_PATH share_from_bin /${CMAKE_INSTALL_BINDIR} /${DRIVES_SHARE})
foreach(kind IN ITEMS "build=${Python3_EXECUTABLE}" "system=/usr/bin/python3")
  string(REGEX REPLACE "=.*" "" kind_name "${kind}")
  string(REGEX REPLACE "^[a-z]+=" "" python "${kind}")
  foreach(command drives-results=drives_results drives-run=drives_run)
    string(REPLACE "=" ";" command ${command})
    list(GET command 0 name)
    list(GET command 1 module)
    file(WRITE ${CMAKE_BINARY_DIR}/commands/${kind_name}/${name}
         "#!${python}\n"
         "import os, sys\n"
         "sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "
         "\"${share_from_bin}\"))\n"
         "from drives_tools.${module} import main\n"
         "sys.exit(main())\n")
  endforeach()
endforeach()
install(CODE "drives_install_commands()")
install(DIRECTORY tools/drives_tools DESTINATION ${DRIVES_SHARE}
        FILES_MATCHING PATTERN "*.py" PATTERN "*.json" PATTERN "__pycache__" EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/VERSION DESTINATION ${DRIVES_SHARE}/drives_tools)

# The licence: whole beside the docs, but in a .deb, whose copyright file
# points at the system's copy (cmake/Packaging.cmake).
install(CODE "drives_install_licence()")

add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DRECORD=${DRIVES_INSTALL_RECORD} -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake
  COMMENT "Removing what the install of this build made" VERBATIM)
