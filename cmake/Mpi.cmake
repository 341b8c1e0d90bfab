# SPDX-License-Identifier: GPL-3.0-or-later
# What a build keeps of the MPI it was built with, so that the installed
# binary still finds it once the module or Spack environment that put it on
# PATH is unloaded.
#
# drives_find_mpi(): find_package(MPI) for C, but where the compiler wrapper
# is another than the one FindMPI's cache was filled with (another module
# loaded, make's MPICC), that cache goes first, so that FindMPI looks again:
# its libraries and flags would stay the other MPI's.
#
# drives_mpi_launcher(VAR WRAPPER FAMILY): the launcher of the MPI whose
# compiler wrapper WRAPPER built drives_mpi, an absolute path, for the build
# line that drives-run reads; "" where there is none. It is looked for beside
# the wrapper, as named and with its links followed (a Spack view): under
# the wrapper's own suffix first (Debian's mpicc.mpich and mpiexec.mpich),
# then under the family's, then plain (a module's or Spack's prefix). A
# launcher that says it is another MPI's is passed over: Debian's plain
# /usr/bin/mpirun follows the system's choice, which need not be this MPI.
#
# drives_mpi_run_path(VAR LIBRARY...): the directories of the MPI's
# libraries that the installed binary must name for the dynamic loader to
# find them: not the linker's own directories, nor one whose library the
# loader's cache already leads to (a distribution's MPI).
#
#     cmake -DWRAPPER=/path/to/mpicc -DFAMILY=openmpi|mpich -DLIBRARIES=... -P Mpi.cmake
# prints what they find, a line each.
cmake_policy(VERSION 3.16)
macro(drives_find_mpi)
  if(DEFINED DRIVES_MPI_FOUND_WITH AND NOT "${MPI_C_COMPILER}" STREQUAL "${DRIVES_MPI_FOUND_WITH}")
    message(STATUS "Another MPI compiler wrapper: ${MPI_C_COMPILER}, looking for MPI again")
    get_cmake_property(drives_cached CACHE_VARIABLES)
    foreach(drives_name IN LISTS drives_cached)
      if(drives_name MATCHES "^MPI(EXEC)?_" AND NOT drives_name STREQUAL "MPI_C_COMPILER")
        unset(${drives_name} CACHE)
      endif()
    endforeach()
  endif()
  find_package(MPI REQUIRED COMPONENTS C)
  set(DRIVES_MPI_FOUND_WITH "${MPI_C_COMPILER}" CACHE INTERNAL "The wrapper FindMPI's cache is of")
endmacro()

function(drives_mpi_launcher var wrapper family)
  if(family STREQUAL mpich)
    set(names mpiexec mpiexec.hydra mpirun)
  else()
    set(names mpirun mpiexec)
  endif()
  get_filename_component(real "${wrapper}" REALPATH)
  set(candidates)
  foreach(path IN ITEMS "${wrapper}" "${real}")
    get_filename_component(dir "${path}" DIRECTORY)
    get_filename_component(name "${path}" NAME)
    set(suffixes .${family} "")
    if(name MATCHES "^mpicc(\\.[^/]+)$")
      list(INSERT suffixes 0 ${CMAKE_MATCH_1})
    endif()
    foreach(suffix IN LISTS suffixes)
      foreach(launcher IN LISTS names)
        list(APPEND candidates "${dir}/${launcher}${suffix}")
      endforeach()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES candidates)
  foreach(candidate IN LISTS candidates)
    if(IS_ABSOLUTE "${candidate}" AND EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
      execute_process(COMMAND "${candidate}" --version OUTPUT_VARIABLE said ERROR_VARIABLE said
                      RESULT_VARIABLE status TIMEOUT 60)
      # As drives-run tells a launcher's MPI (mpis.py): MPICH's in any case.
      set(owner "")
      string(TOUPPER "${said}" upper)
      if(said MATCHES "Open ?MPI|OpenRTE|Open RTE")
        set(owner openmpi)
      elseif(upper MATCHES "HYDRA|MPICH")
        set(owner mpich)
      endif()
      if(status EQUAL 0 AND (owner STREQUAL family OR owner STREQUAL ""))
        set(${var} "${candidate}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${var} "" PARENT_SCOPE)
endfunction()

function(drives_mpi_run_path var)
  find_program(DRIVES_LDCONFIG ldconfig PATHS /sbin /usr/sbin)
  mark_as_advanced(DRIVES_LDCONFIG)
  set(cache "")
  if(DRIVES_LDCONFIG)
    execute_process(COMMAND ${DRIVES_LDCONFIG} -p OUTPUT_VARIABLE cache ERROR_QUIET)
  endif()
  string(REGEX MATCHALL "=> [^\n]+" cached "${cache}")
  set(implicit)
  foreach(dir IN LISTS CMAKE_C_IMPLICIT_LINK_DIRECTORIES CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    get_filename_component(dir "${dir}" REALPATH)
    list(APPEND implicit "${dir}")
  endforeach()
  set(dirs)
  foreach(library IN LISTS ARGN)
    if(NOT IS_ABSOLUTE "${library}" OR NOT EXISTS "${library}")
      continue()
    endif()
    get_filename_component(dir "${library}" DIRECTORY)
    get_filename_component(real_dir "${dir}" REALPATH)
    get_filename_component(real "${library}" REALPATH)
    get_filename_component(name "${library}" NAME)
    string(REGEX REPLACE "\\.so(\\..*)?$" ".so" stem "${name}")
    set(found FALSE)
    if(real_dir IN_LIST implicit)
      set(found TRUE)
    endif()
    foreach(entry IN LISTS cached)
      if(found)
        break()
      endif()
      string(SUBSTRING "${entry}" 3 -1 entry)
      get_filename_component(entry_name "${entry}" NAME)
      string(FIND "${entry_name}" "${stem}" at)
      if(at EQUAL 0)
        get_filename_component(entry "${entry}" REALPATH)
        if(entry STREQUAL real)
          set(found TRUE)
        endif()
      endif()
    endforeach()
    if(NOT found)
      list(APPEND dirs "${dir}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  set(${var} "${dirs}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  drives_mpi_launcher(launcher "${WRAPPER}" "${FAMILY}")
  drives_mpi_run_path(run_path ${LIBRARIES})
  message("launcher ${launcher}\nrun path ${run_path}")
endif()
