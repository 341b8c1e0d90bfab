# SPDX-License-Identifier: GPL-3.0-or-later
# What this build is, asked of tools/drives_tools/version.py, the tools' own
# logic, so that the binary, the tools and the packages say the same: a
# release's number where the sources are the commit its tag v<number> marks,
# unchanged; else the number with the commit, 1.1.0-dev+g1a2b3c4. Sets
# DRIVES_VERSION, DRIVES_COMMIT ("unknown" without git or a VERSION file) and
# DRIVES_DATE (the commit's time, "" where unknown), and writes the VERSION
# file that the install and the source tarball carry beside the tools.
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/drives_tools/version.py ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE drives_build RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT drives_build MATCHES "^version [^\n]+\n")
  message(FATAL_ERROR "tools/drives_tools/version.py could not say what this build is: ${status}")
endif()
set(DRIVES_COMMIT unknown)
set(DRIVES_DATE "")
foreach(fact version commit date)
  string(TOUPPER ${fact} name)
  if(drives_build MATCHES "(^|\n)${fact} ([^\n]*)")
    set(DRIVES_${name} ${CMAKE_MATCH_2})
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/VERSION "${drives_build}")
message(STATUS "drives_mpi ${DRIVES_VERSION}")
# A commit or a checkout of another changes what the build is.
execute_process(COMMAND git -c safe.directory=${PROJECT_SOURCE_DIR} rev-parse --git-path logs/HEAD
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE reflog OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(reflog)
  get_filename_component(reflog ${reflog} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  if(EXISTS ${reflog})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${reflog})
  endif()
endif()
