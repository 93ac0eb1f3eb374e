# Finds the machine's VISA library: its visa.h and its shared library, where
# the usual layouts put them.
#
#   VISA_ROOT                         a prefix to look in first (also from the environment)
#   CMAKE_PREFIX_PATH, system prefixes, /opt/*    looked in next
#   VISA_INCLUDE_DIR, VISA_LIBRARY    set either to skip the search for it
#
# visa.h may lie in include/ or in a vendor's subfolder of it (include/*/),
# or under a vendor folder of the prefix (*/include, */*/include); the library
# under any of the names VISA libraries go by, in lib/, lib64/, the
# multiarch folder, or a vendor's subfolder of those. kesload's own stand-in
# (installed in a private kesload/ folder) is never taken for the machine's.
#
# Defines VISA_FOUND and, when found, the imported target VISA::visa.

set(_visa_prefixes ${VISA_ROOT} $ENV{VISA_ROOT} ${CMAKE_PREFIX_PATH} $ENV{CMAKE_PREFIX_PATH} ${CMAKE_SYSTEM_PREFIX_PATH})
file(GLOB _visa_opt LIST_DIRECTORIES true /opt/*)
list(APPEND _visa_prefixes ${_visa_opt})
list(REMOVE_DUPLICATES _visa_prefixes)
list(REMOVE_ITEM _visa_prefixes "/") # nothing lives there, and globbing below it is slow

set(_visa_header_dirs "")
set(_visa_library_dirs "")
foreach(_prefix IN LISTS _visa_prefixes)
  file(GLOB _found ${_prefix}/include/visa.h ${_prefix}/include/*/visa.h ${_prefix}/*/include/visa.h
       ${_prefix}/*/*/include/visa.h)
  foreach(_header IN LISTS _found)
    get_filename_component(_dir ${_header} DIRECTORY)
    list(APPEND _visa_header_dirs ${_dir})
  endforeach()
  foreach(_lib lib lib64 lib/${CMAKE_LIBRARY_ARCHITECTURE})
    list(APPEND _visa_library_dirs ${_prefix}/${_lib})
    file(GLOB _sub LIST_DIRECTORIES true ${_prefix}/${_lib}/*)
    list(APPEND _visa_library_dirs ${_sub})
  endforeach()
  file(GLOB _vendor LIST_DIRECTORIES true ${_prefix}/*/lib ${_prefix}/*/lib64 ${_prefix}/*/*/lib ${_prefix}/*/*/lib64)
  list(APPEND _visa_library_dirs ${_vendor})
endforeach()
list(FILTER _visa_library_dirs EXCLUDE REGEX "/kesload(/|$)")

find_path(VISA_INCLUDE_DIR visa.h HINTS ${_visa_header_dirs} NO_DEFAULT_PATH
  DOC "Folder that holds the machine's visa.h")
find_library(VISA_LIBRARY NAMES visa visa64 visa32 rsvisa iovisa ktvisa32 HINTS ${_visa_library_dirs} NO_DEFAULT_PATH
  DOC "The machine's VISA shared library")
if(VISA_LIBRARY MATCHES "/kesload/")
  set(VISA_LIBRARY VISA_LIBRARY-NOTFOUND CACHE FILEPATH "The machine's VISA shared library" FORCE)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(VISA REQUIRED_VARS VISA_LIBRARY VISA_INCLUDE_DIR)

if(VISA_FOUND AND NOT TARGET VISA::visa)
  add_library(VISA::visa UNKNOWN IMPORTED)
  set_target_properties(VISA::visa PROPERTIES
    IMPORTED_LOCATION "${VISA_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${VISA_INCLUDE_DIR}")
endif()
