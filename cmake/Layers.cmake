# The layers, enforced by the compiler.
#
#   net  <-  proxy, tls  <-  tunnel  <-  app (core)  <-  app/gui  <-  sorvik
#
# Code spells its includes from the top of src/ ("net/io_handler.h",
# "app/gui/tf_main.h"), but src/ itself is on no include path: through it
# net could include tunnel and the application core the Qt window. Instead
# each library has an include root of its own in the build tree, holding a
# directory named after its layer with one symbolic link per header of that
# layer:
#
#   <build>/layers/sorvik_net/net/io_handler.h -> src/net/io_handler.h
#   <build>/layers/sorvik_app_core/app/core/app_core.h -> src/app/core/app_core.h
#   <build>/layers/sorvik_gui/app/gui/tf_main.h -> src/app/gui/tf_main.h
#
# The root is a PUBLIC include directory of its library, so a target sees the
# headers of its own layer and of the libraries it links, and no others: an
# upward include fails with "No such file". Links per header (not one link
# per directory) because app/gui lives inside app/ and must stay out of the
# core's root. The links point at the sources, so an edit needs nothing more;
# a header added or removed re-runs the configure step (CONFIGURE_DEPENDS).
# Compiler messages name the link; editors follow it to the source.
#
# Includes relative to the including file ("../tunnel/x.h") bypass any
# include path: the layers use the spelling from the top of src/ only.
#
# tests/layering checks that upward includes fail and that no library below
# the window links Qt.

set(SORVIK_LAYERS_DIR ${CMAKE_BINARY_DIR}/layers)
# Made afresh on each configure: a header or a library gone is gone here too.
file(REMOVE_RECURSE ${SORVIK_LAYERS_DIR})

# sorvik_layer_headers(<target> <prefix> [DIR <dir>] [FILES <header>...])
# Gives <target> the include root ${SORVIK_LAYERS_DIR}/<target> where
# "<prefix>/<name>.h" is each header of <dir> (default: the current source
# directory, not its subdirectories), or each of FILES. An INTERFACE library
# gets the root as INTERFACE, any other library as PUBLIC.
function(sorvik_layer_headers target prefix)
  cmake_parse_arguments(L "" "DIR" "FILES" ${ARGN})
  if(NOT L_DIR)
    set(L_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(L_FILES)
    list(TRANSFORM L_FILES PREPEND ${L_DIR}/)
    set(headers ${L_FILES})
  else()
    file(GLOB headers CONFIGURE_DEPENDS ${L_DIR}/*.h)
  endif()
  set(root ${SORVIK_LAYERS_DIR}/${target})
  file(MAKE_DIRECTORY ${root}/${prefix})
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${prefix}/${name} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# sorvik_forbid_link(<target> <regex> <reason>)
# Stops the configure step when <target> links, directly or through the
# libraries it links, a library whose name matches <regex>.
function(sorvik_forbid_link target regex reason)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    set(links)
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(value ${current} ${property})
      if(value)
        list(APPEND links ${value})
      endif()
    endforeach()
    foreach(link IN LISTS links)
      # $<LINK_ONLY:x> and the like: the name is what counts.
      string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" name "${link}")
      if(name MATCHES "${regex}")
        message(FATAL_ERROR "${target} links ${name} (through ${current}): ${reason}")
      endif()
      list(APPEND queue ${name})
    endforeach()
  endwhile()
endfunction()
