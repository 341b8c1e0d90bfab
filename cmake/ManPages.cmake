# SPDX-License-Identifier: GPL-3.0-or-later
# The pages of the three installed commands, in section 1, gzipped as
# Debian wants and man reads everywhere. drives-run's and drives-results'
# are written at build time from their own argument parsers, so that they
# cannot drift from --help; drives_mpi takes no options and its page is
# written by hand.
set(DRIVES_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(DRIVES_TOOLS_DIR ${PROJECT_SOURCE_DIR}/tools)
file(GLOB DRIVES_TOOLS_SOURCES CONFIGURE_DEPENDS ${DRIVES_TOOLS_DIR}/*.py ${DRIVES_TOOLS_DIR}/*/*.py)
set(manpage ${CMAKE_CURRENT_LIST_DIR}/manpage.py)

configure_file(${CMAKE_CURRENT_LIST_DIR}/drives_mpi.1 ${DRIVES_MAN_DIR}/drives_mpi.1 @ONLY)
add_custom_command(OUTPUT ${DRIVES_MAN_DIR}/drives_mpi.1.gz
  COMMAND ${Python3_EXECUTABLE} ${manpage} --gzip ${DRIVES_MAN_DIR}/drives_mpi.1
          ${DRIVES_MAN_DIR}/drives_mpi.1.gz
  DEPENDS ${DRIVES_MAN_DIR}/drives_mpi.1 ${manpage} VERBATIM)
set(pages ${DRIVES_MAN_DIR}/drives_mpi.1.gz)
# name=module: the module whose parser() is the command's.
foreach(page drives-run=drives_tools.drives_run drives-results=drives_tools.drives_results)
  string(REPLACE "=" ";" page ${page})
  list(GET page 0 name)
  list(GET page 1 module)
  add_custom_command(OUTPUT ${DRIVES_MAN_DIR}/${name}.1.gz
    COMMAND ${Python3_EXECUTABLE} ${manpage} ${DRIVES_TOOLS_DIR} ${module} ${name}
            ${DRIVES_VERSION} ${DRIVES_MAN_DIR}/${name}.1.gz
    DEPENDS ${DRIVES_TOOLS_SOURCES} ${manpage}
    COMMENT "Writing the manual page of ${name} from its parser" VERBATIM)
  list(APPEND pages ${DRIVES_MAN_DIR}/${name}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
