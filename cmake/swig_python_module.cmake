# qv_add_swig_python_module(<target>
#     INTERFACE <file.i> OUTPUT_DIR <dir>
#     [SOURCES <extra .cpp>...] [INCLUDES <dir>...] [LIBRARIES <target>...]
#     [FINISH_SCRIPT <script> METHODS <n> TYPES <n>])
#
# Builds the SWIG (non-builtin, default type table) Python module <target>
# (a target named like "_FlatRecord", file "<target>.so") and its proxy module
# into OUTPUT_DIR. With FINISH_SCRIPT the generated wrapper is passed through
# that script (with --methods/--types) before it is compiled.

# Imported targets are per directory: find them in every including directory.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  # Debian's interpreter, the one python3-pytest belongs to.
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(SWIG 4.0 REQUIRED)

include_guard(GLOBAL)

function(qv_add_swig_python_module target)
  cmake_parse_arguments(M "" "INTERFACE;OUTPUT_DIR;FINISH_SCRIPT;METHODS;TYPES" "SOURCES;INCLUDES;LIBRARIES;DEPENDS" ${ARGN})
  get_filename_component(stem ${M_INTERFACE} NAME_WE)
  set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_swig)
  set(wrapper ${gen_dir}/${stem}_wrap.cxx)
  set(include_flags)
  foreach(dir ${M_INCLUDES})
    list(APPEND include_flags -I${dir})
  endforeach()
  if(M_FINISH_SCRIPT)
    set(raw ${gen_dir}/${stem}_wrap.raw.cxx)
    set(finish COMMAND ${Python3_EXECUTABLE} ${M_FINISH_SCRIPT} ${raw} ${wrapper}
                       --methods ${M_METHODS} --types ${M_TYPES})
  else()
    set(raw ${wrapper})
    set(finish)
  endif()
  add_custom_command(
    OUTPUT ${wrapper} ${M_OUTPUT_DIR}/${stem}.py
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gen_dir} ${M_OUTPUT_DIR}
    COMMAND ${SWIG_EXECUTABLE} -c++ -python ${include_flags} -outdir ${M_OUTPUT_DIR} -o ${raw} ${M_INTERFACE}
    ${finish}
    DEPENDS ${M_INTERFACE} ${M_FINISH_SCRIPT} ${M_DEPENDS}
    COMMENT "SWIG ${target}"
    VERBATIM)
  add_library(${target} MODULE ${wrapper} ${M_SOURCES})
  # The generated wrappers leave the module argument of every function unused.
  set_source_files_properties(${wrapper} PROPERTIES COMPILE_OPTIONS "-Wno-unused-parameter")
  target_include_directories(${target} PRIVATE ${M_INCLUDES})
  target_link_libraries(${target} PRIVATE Python3::Module ${M_LIBRARIES})
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".so" OUTPUT_NAME ${target}
    LIBRARY_OUTPUT_DIRECTORY ${M_OUTPUT_DIR}
    CXX_VISIBILITY_PRESET default)
endfunction()
