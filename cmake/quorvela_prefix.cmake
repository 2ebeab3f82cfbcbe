# An installed QUORVELA under QUORVELA_ROOT, in place of platform/quorvela:
#   <root>/include/quorvela/quorvela.h          the public headers
#   <root>/lib[64]/libquorvela.so.1.1           the library (and the file its SONAME names)
#   <root>/lib/python3/dist-packages/           quorvela.py and _quorvela*.so, the Python binding
#   <root>/include/quorvela/python/quorvela_py_types.h
#                                               the binding's shared type-table header
# ("cmake --install" of this project makes that layout). Each location is a
# cache variable of its own, for a library installed another way.
#
# Defines the imported target "quorvela" (the names the suite's targets link
# with), QV_PY_BINDING_DIR (the binding's directory, for PYTHONPATH) and
# QV_PY_TYPES_DIR (the directory of quorvela_py_types.h).
get_filename_component(QUORVELA_ROOT "${QUORVELA_ROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${QUORVELA_ROOT}")
  message(FATAL_ERROR "QUORVELA_ROOT=${QUORVELA_ROOT} is not a directory")
endif()

find_path(QUORVELA_INCLUDE_DIR quorvela/quorvela.h
  PATHS ${QUORVELA_ROOT}/include NO_DEFAULT_PATH
  DOC "Directory holding quorvela/quorvela.h")
find_library(QUORVELA_LIBRARY NAMES libquorvela.so.1.1
  PATHS ${QUORVELA_ROOT} PATH_SUFFIXES lib lib64 lib/${CMAKE_LIBRARY_ARCHITECTURE} NO_DEFAULT_PATH
  DOC "The QUORVELA library, libquorvela.so.1.1")
file(GLOB qv_site_dirs LIST_DIRECTORIES true ${QUORVELA_ROOT}/lib/python3*/site-packages)
find_path(QUORVELA_PYTHON_DIR quorvela.py
  PATHS ${QUORVELA_ROOT}/lib/python3/dist-packages ${QUORVELA_ROOT}/lib/python3/site-packages ${qv_site_dirs}
  NO_DEFAULT_PATH
  DOC "Directory of the QUORVELA Python binding (quorvela.py, _quorvela*.so)")
find_path(QUORVELA_PY_TYPES_DIR quorvela_py_types.h
  PATHS ${QUORVELA_ROOT} PATH_SUFFIXES include/quorvela/python include NO_DEFAULT_PATH
  DOC "Directory of the binding's shared type-table header quorvela_py_types.h")

set(qv_missing)
foreach(var QUORVELA_INCLUDE_DIR QUORVELA_LIBRARY QUORVELA_PYTHON_DIR QUORVELA_PY_TYPES_DIR)
  if(NOT ${var})
    list(APPEND qv_missing ${var})
  endif()
endforeach()
if(QUORVELA_PYTHON_DIR)
  file(GLOB qv_binding_module ${QUORVELA_PYTHON_DIR}/_quorvela*.so)
  if(NOT qv_binding_module)
    list(APPEND qv_missing "_quorvela*.so beside ${QUORVELA_PYTHON_DIR}/quorvela.py")
  endif()
endif()
if(qv_missing)
  list(JOIN qv_missing ", " qv_missing)
  message(FATAL_ERROR "QUORVELA_ROOT=${QUORVELA_ROOT}: not found: ${qv_missing} "
                      "(see cmake/quorvela_prefix.cmake for the layout; set the cache variables to other places)")
endif()

# The executables record the library's SONAME; the loader finds the file of
# that name through their run path, so it must exist beside the library.
find_program(QV_READELF readelf REQUIRED)
execute_process(COMMAND ${QV_READELF} -d ${QUORVELA_LIBRARY}
                OUTPUT_VARIABLE qv_dynamic RESULT_VARIABLE qv_rc)
if(NOT qv_rc EQUAL 0 OR NOT qv_dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]+)\\]")
  message(FATAL_ERROR "${QUORVELA_LIBRARY} is no shared library with a SONAME")
endif()
set(qv_soname ${CMAKE_MATCH_1})
get_filename_component(QV_LIBRARY_DIR ${QUORVELA_LIBRARY} DIRECTORY)
if(NOT EXISTS ${QV_LIBRARY_DIR}/${qv_soname})
  message(FATAL_ERROR "${QUORVELA_LIBRARY} has the SONAME ${qv_soname}, but ${QV_LIBRARY_DIR}/${qv_soname} does not exist")
endif()

add_library(quorvela SHARED IMPORTED GLOBAL)
set_target_properties(quorvela PROPERTIES
  IMPORTED_LOCATION ${QUORVELA_LIBRARY}
  IMPORTED_SONAME ${qv_soname}
  INTERFACE_INCLUDE_DIRECTORIES ${QUORVELA_INCLUDE_DIR})
set(QV_PY_BINDING_DIR ${QUORVELA_PYTHON_DIR} CACHE INTERNAL "Directory of the quorvela Python binding")
set(QV_PY_TYPES_DIR ${QUORVELA_PY_TYPES_DIR} CACHE INTERNAL "Directory of quorvela_py_types.h")
message(STATUS "QUORVELA under test: ${QUORVELA_LIBRARY} (${qv_soname}), headers ${QUORVELA_INCLUDE_DIR}, "
               "Python binding ${QUORVELA_PYTHON_DIR}")
