# Writes the third-party notices for a statically linked whirlet.exe from the linker's map: every
# file the linker took code from is put down to the project it comes from, and that project's
# licence text goes into the notices. A file that belongs to none of them stops the build, so
# that nothing linked in goes without its notice.
# Run by windows/CMakeLists.txt with the -D variables checked below.
cmake_minimum_required(VERSION 3.16)

foreach(var MAP OUT LINK_DIR OWN_DIR FREEGLUT_LIBRARY GCC_LIB_DIR MINGW_LIB_DIR GCC_VERSION
            FREEGLUT_SOURCE_DIR MINGW_SOURCE_DIR GCC_EXCEPTION GPL3)
  if("${${var}}" STREQUAL "")
    message(FATAL_ERROR "notices.cmake: ${var} is not set")
  endif()
endforeach()
# Paths in the map are relative to where the link ran; compared resolved.
foreach(var FREEGLUT_LIBRARY GCC_LIB_DIR MINGW_LIB_DIR OWN_DIR)
  get_filename_component(${var} "${${var}}" REALPATH BASE_DIR "${LINK_DIR}")
endforeach()

# What went into the link: objects loaded whole ("LOAD x.o"), and archives that gave at least one
# member ("archive.a(member.o)" at the start of a line in the map's first section).
file(STRINGS "${MAP}" lines REGEX "^(LOAD [^ ].*\\.(o|obj)$|[^ (][^(]*\\.a\\()")
foreach(line IN LISTS lines)
  string(REGEX MATCH "^LOAD (.*)$|^([^(]+\\.a)\\(" _ "${line}")
  get_filename_component(input "${CMAKE_MATCH_1}${CMAKE_MATCH_2}" REALPATH BASE_DIR "${LINK_DIR}")
  list(APPEND inputs "${input}")
endforeach()
list(REMOVE_DUPLICATES inputs)
if(NOT inputs)
  message(FATAL_ERROR "notices.cmake: nothing linked according to ${MAP}")
endif()

foreach(input IN LISTS inputs)
  get_filename_component(name "${input}" NAME)
  get_filename_component(dir "${input}" DIRECTORY)
  string(FIND "${input}/" "${OWN_DIR}/" own_at)
  if(own_at EQUAL 0)
    continue()  # the program's own objects
  elseif(input STREQUAL FREEGLUT_LIBRARY)
    list(APPEND freeglut_files ${name})
  elseif(name MATCHES "^lib(win)?pthread")
    list(APPEND winpthreads_files ${name})  # part of MinGW-w64, under a licence of its own
  elseif(dir STREQUAL MINGW_LIB_DIR)
    list(APPEND mingw_files ${name})
  elseif(dir STREQUAL GCC_LIB_DIR)
    list(APPEND gcc_files ${name})
  else()
    message(FATAL_ERROR "notices.cmake: ${input} went into whirlet.exe and no notice covers it")
  endif()
endforeach()

set(rule "------------------------------------------------------------------------------")
# add_notice(FILES_VAR TITLE PREAMBLE LICENCE_FILE...), PREAMBLE "" or ending in a blank line:
# nothing when the link took no file of it.
macro(add_notice files title preamble)
  if(${files})
    list(SORT ${files})
    string(REPLACE ";" ", " listed "${${files}}")
    string(APPEND summary "* ${title}: ${listed}\n")
    string(APPEND texts "\n\n${rule}\n${title}\n${rule}\n\n${preamble}")
    foreach(licence ${ARGN})
      if(NOT EXISTS "${licence}")
        message(FATAL_ERROR "notices.cmake: no licence text at ${licence}")
      endif()
      file(READ "${licence}" text)
      string(REPLACE "\r\n" "\n" text "${text}")
      string(REGEX REPLACE "\n+$" "" text "${text}")
      string(APPEND texts "${text}\n\n")
    endforeach()
  endif()
endmacro()

# The versions end the source folders' names: "freeglut-3.4.0", "mingw-w64-v10.0.0".
string(REGEX MATCH "[0-9][0-9.]*$" freeglut_version "${FREEGLUT_SOURCE_DIR}")
string(REGEX MATCH "[0-9][0-9.]*$" mingw_version "${MINGW_SOURCE_DIR}")
add_notice(freeglut_files "freeglut ${freeglut_version}" "" "${FREEGLUT_SOURCE_DIR}/COPYING")
add_notice(mingw_files "MinGW-w64 runtime ${mingw_version}" ""
           "${MINGW_SOURCE_DIR}/COPYING.MinGW-w64-runtime/COPYING.MinGW-w64-runtime.txt")
add_notice(winpthreads_files "MinGW-w64 winpthreads ${mingw_version}" ""
           "${MINGW_SOURCE_DIR}/mingw-w64-libraries/winpthreads/COPYING")
# GCC's runtime is under the GPL with the Runtime Library Exception, which lets it be linked into
# programs under any licence; both texts go along.
string(REGEX MATCH "^[0-9]+" gcc_major "${GCC_VERSION}")
add_notice(gcc_files "GCC ${gcc_major} runtime libraries"
           "Copyright (C) Free Software Foundation, Inc.

GCC's runtime libraries are free software under the GNU General Public License, version 3 or
later, with the GCC Runtime Library Exception, version 3.1. Both texts follow.\n\n"
           "${GCC_EXCEPTION}" "${GPL3}")

set(notices "Third-party notices for whirlet.exe
===================================

whirlet.exe holds Whirlet's own code (see LICENSE.txt) and, linked in statically, the parts of
the following that it uses. The list comes from the linker's map of this very build: each entry
names the files that the linker took code from. The licence texts follow.

${summary}${texts}")
string(REGEX REPLACE "\n+$" "\n" notices "${notices}")
# The zip is for Windows: Windows line ends.
string(REPLACE "\n" "\r\n" notices "${notices}")
file(WRITE "${OUT}" "${notices}")
