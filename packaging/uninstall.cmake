# SPDX-License-Identifier: MIT
# Takes back an install: run with EOLFIX_STEP set by the install rules, and with none as
# `cmake -DEOLFIX_INSTALL_RECORD=FILE -P uninstall.cmake` (the `uninstall` target does this).
# The record names the prefix, the files installed there and the folders the install had to make,
# so an uninstall removes exactly those, and a folder only once it is empty: a folder that was
# there before, such as zsh's site-functions, stays. CMake's install_manifest.txt is not enough:
# cpack rewrites it with the package's paths, and it names no folders.
cmake_policy(VERSION 3.13)

if(EOLFIX_STEP STREQUAL "before")
  # Installing: note which folders of the destinations, up to the prefix, do not exist yet.
  set(EOLFIX_NEW_FOLDERS "")
  foreach(folder IN LISTS EOLFIX_FOLDERS)
    set(path "${CMAKE_INSTALL_PREFIX}/${folder}")
    while(NOT EXISTS "${path}" AND NOT path IN_LIST EOLFIX_NEW_FOLDERS)
      list(APPEND EOLFIX_NEW_FOLDERS "${path}")
      if(path STREQUAL CMAKE_INSTALL_PREFIX)
        break()
      endif()
      get_filename_component(path "${path}" DIRECTORY)
    endwhile()
  endforeach()
  return()
endif()

if(EOLFIX_STEP STREQUAL "after")
  # A reinstall to the same prefix finds the folders made the first time: keep those in the record.
  if(EXISTS "${EOLFIX_INSTALL_RECORD}")
    include("${EOLFIX_INSTALL_RECORD}")
    if(installed_prefix STREQUAL CMAKE_INSTALL_PREFIX)
      list(APPEND EOLFIX_NEW_FOLDERS ${installed_folders})
      list(REMOVE_DUPLICATES EOLFIX_NEW_FOLDERS)
    endif()
  endif()
  # Removed first, since a record root wrote would not open for a later install by its user.
  file(REMOVE "${EOLFIX_INSTALL_RECORD}")
  file(WRITE "${EOLFIX_INSTALL_RECORD}"
       "set(installed_prefix [==[${CMAKE_INSTALL_PREFIX}]==])\n"
       "set(installed_files [==[${CMAKE_INSTALL_MANIFEST_FILES}]==])\n"
       "set(installed_folders [==[${EOLFIX_NEW_FOLDERS}]==])\n")
  return()
endif()

if(NOT EXISTS "${EOLFIX_INSTALL_RECORD}")
  message(FATAL_ERROR "nothing to uninstall: ${EOLFIX_INSTALL_RECORD} is missing (no install from this build folder, or it was undone)")
endif()
include("${EOLFIX_INSTALL_RECORD}")
foreach(file IN LISTS installed_files)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
      message(FATAL_ERROR "${file} could not be removed")
    endif()
  endif()
endforeach()
# Deepest first, each only if nothing else was put in it meanwhile.
list(SORT installed_folders ORDER DESCENDING)
foreach(folder IN LISTS installed_folders)
  file(GLOB left LIST_DIRECTORIES true "${folder}/*" "${folder}/.*")
  if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}" AND left STREQUAL "")
    message(STATUS "Removing ${folder}/")
    file(REMOVE_RECURSE "${folder}")
  endif()
endforeach()
file(REMOVE "${EOLFIX_INSTALL_RECORD}")
