# zt_python_module(<target> NAME <module file name> PACKAGE <dir/inside/site-packages>
#                  SOURCES <files...> [LIBS <libs...>] [TREE <dir under python/>])
# Adds a CPython extension module installed at PACKAGE/NAME.<abi suffix>. An in-place
# build puts it in python/[TREE/]PACKAGE, beside the package's Python files.
function(zt_python_module target)
  cmake_parse_arguments(ARG "" "NAME;PACKAGE;TREE" "SOURCES;LIBS" ${ARGN})
  python_add_library(${target} MODULE WITH_SOABI ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_NAME}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE zt_common ${ARG_LIBS})
  # Only PyInit_<name> leaves the module; hidden visibility alone misses the static zt_common
  # and the library templates instantiated here.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_SYSTEM_NAME MATCHES "BSD")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map)
  endif()
  if(ZT_INPLACE)
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${PROJECT_SOURCE_DIR}/python/${ARG_TREE}/${ARG_PACKAGE})
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${ARG_PACKAGE})
endfunction()
