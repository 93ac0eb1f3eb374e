# Finds the machine's VISA library: its visa.h and its shared library, where
# the usual layouts put them.
#
#   VISA_INCLUDE_DIR, VISA_LIBRARY    given: taken as they are
#   VISA_ROOT (or the environment's)  a prefix to look in first, taken as found
#   CMAKE_PREFIX_PATH, the system prefixes, /opt/*    searched next
#
# visa.h may lie in include/ or in a vendor's subfolder of it, or under a
# vendor's folder of the prefix (*/include, */*/include); the library under
# any of the names VISA libraries go by, in lib/, lib64/, the multiarch
# folder, or a vendor's subfolder of those. In that search kesload's own
# stand-in (a built or installed libvisa.so, the visa.h of a checkout) is
# never taken for the machine's.
#
# Defines VISA_FOUND and, when found, the imported target VISA::visa.

set(_visa_names visa visa64 visa32 rsvisa iovisa ktvisa32)

# The folders where a prefix may hold visa.h, and its library.
function(_visa_folders prefix headers_out libraries_out)
  file(GLOB found ${prefix}/include/visa.h ${prefix}/include/*/visa.h ${prefix}/*/include/visa.h
       ${prefix}/*/*/include/visa.h)
  set(headers "")
  foreach(header IN LISTS found)
    get_filename_component(dir ${header} DIRECTORY)
    list(APPEND headers ${dir})
  endforeach()
  set(libraries "")
  foreach(lib lib lib64 lib/${CMAKE_LIBRARY_ARCHITECTURE})
    file(GLOB sub LIST_DIRECTORIES true ${prefix}/${lib}/*)
    list(APPEND libraries ${prefix}/${lib} ${sub})
  endforeach()
  file(GLOB vendor LIST_DIRECTORIES true ${prefix}/*/lib ${prefix}/*/lib64 ${prefix}/*/*/lib ${prefix}/*/*/lib64)
  list(APPEND libraries ${vendor})
  set(${headers_out} ${headers} PARENT_SCOPE)
  set(${libraries_out} ${libraries} PARENT_SCOPE)
endfunction()

# The first visa.h and the first library in those folders; with
# skip_standin, passing over the stand-in's.
function(_visa_pick header_dirs library_dirs skip_standin header_out library_out)
  set(header "")
  foreach(dir IN LISTS header_dirs)
    if(NOT header AND EXISTS ${dir}/visa.h)
      file(STRINGS ${dir}/visa.h guard REGEX "KESLOAD_STANDIN_VISA_H")
      if(NOT (skip_standin AND guard))
        set(header ${dir})
      endif()
    endif()
  endforeach()
  set(library "")
  foreach(dir IN LISTS library_dirs)
    foreach(name IN LISTS _visa_names)
      if(NOT library AND EXISTS ${dir}/lib${name}.so)
        file(STRINGS ${dir}/lib${name}.so hooks REGEX "kesvisa_reset")
        if(NOT (skip_standin AND hooks))
          set(library ${dir}/lib${name}.so)
        endif()
      endif()
    endforeach()
  endforeach()
  set(${header_out} ${header} PARENT_SCOPE)
  set(${library_out} ${library} PARENT_SCOPE)
endfunction()

# Looks through the prefixes in order until both are found.
macro(_visa_search prefixes skip_standin)
  foreach(prefix IN LISTS ${prefixes})
    if(NOT _visa_header OR NOT _visa_library)
      _visa_folders(${prefix} headers libraries)
      _visa_pick("${headers}" "${libraries}" ${skip_standin} header library)
      if(NOT _visa_header)
        set(_visa_header ${header})
      endif()
      if(NOT _visa_library)
        set(_visa_library ${library})
      endif()
    endif()
  endforeach()
endmacro()

if(NOT VISA_INCLUDE_DIR OR NOT VISA_LIBRARY)
  set(_visa_header "")
  set(_visa_library "")
  set(_visa_root ${VISA_ROOT} $ENV{VISA_ROOT})
  _visa_search(_visa_root OFF)
  set(_visa_prefixes ${CMAKE_PREFIX_PATH} $ENV{CMAKE_PREFIX_PATH} ${CMAKE_SYSTEM_PREFIX_PATH})
  file(GLOB _visa_opt LIST_DIRECTORIES true /opt/*)
  list(APPEND _visa_prefixes ${_visa_opt})
  list(REMOVE_DUPLICATES _visa_prefixes)
  list(REMOVE_ITEM _visa_prefixes "/") # nothing lives there, and globbing below it is slow
  _visa_search(_visa_prefixes ON)
  if(NOT VISA_INCLUDE_DIR AND _visa_header)
    set(VISA_INCLUDE_DIR ${_visa_header} CACHE PATH "Folder that holds the machine's visa.h")
  endif()
  if(NOT VISA_LIBRARY AND _visa_library)
    set(VISA_LIBRARY ${_visa_library} CACHE FILEPATH "The machine's VISA shared library")
  endif()
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(VISA REQUIRED_VARS VISA_LIBRARY VISA_INCLUDE_DIR)

if(VISA_FOUND AND NOT TARGET VISA::visa)
  add_library(VISA::visa UNKNOWN IMPORTED)
  set_target_properties(VISA::visa PROPERTIES
    IMPORTED_LOCATION "${VISA_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${VISA_INCLUDE_DIR}")
endif()
