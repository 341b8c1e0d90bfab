# SPDX-License-Identifier: GPL-3.0-or-later
# The pages of the three installed commands, in section 1, gzipped as
# Debian wants and man reads everywhere, written at build time by
# cmake/manpage.py from their templates in cmake/man/: drives-run's and
# drives-results' synopsis, options and commands from their own argument
# parsers, so that they cannot drift from --help, and every page's exit
# statuses from the one table of them (tools/drives_tools/statuses.py).
set(DRIVES_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(DRIVES_TOOLS_DIR ${PROJECT_SOURCE_DIR}/tools)
file(GLOB DRIVES_TOOLS_SOURCES CONFIGURE_DEPENDS ${DRIVES_TOOLS_DIR}/*.py ${DRIVES_TOOLS_DIR}/*/*.py)
set(manpage ${CMAKE_CURRENT_LIST_DIR}/manpage.py)

set(pages)
# name=module: the module whose parser() is the command's; none for drives_mpi.
foreach(page drives_mpi= drives-run=drives_tools.drives_run drives-results=drives_tools.drives_results)
  string(REGEX REPLACE "=.*" "" name ${page})
  string(REGEX REPLACE "^[^=]*=" "" module ${page})
  set(template ${CMAKE_CURRENT_LIST_DIR}/man/${name}.1.in)
  add_custom_command(OUTPUT ${DRIVES_MAN_DIR}/${name}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DRIVES_MAN_DIR}
    COMMAND ${Python3_EXECUTABLE} ${manpage} ${DRIVES_TOOLS_DIR} ${template} ${DRIVES_VERSION}
            ${DRIVES_MAN_DIR}/${name}.1.gz ${module}
    DEPENDS ${template} ${DRIVES_TOOLS_SOURCES} ${manpage}
    COMMENT "Writing the manual page of ${name}" VERBATIM)
  list(APPEND pages ${DRIVES_MAN_DIR}/${name}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
