# The layered build: which target may include and link what.
#
# Decision. No target sees the whole tree. Each module (a library or program in one source folder)
# declares itself with uv_module(<target> DIR <folder>); that gives it an include root of its own
# in the build tree, ${CMAKE_BINARY_DIR}/include/<target>, holding symbolic links named
# <folder>/<header> to the headers of that folder only. The root is a PUBLIC include directory of
# the target, so a target sees exactly the headers of itself and of the libraries it links
# (transitively through PUBLIC links) and nothing else; includes stay root-relative
# ("platform/common/Text.h"). A header of a module one does not link is not found, and the
# compiler stops. A PRIVATE link gives the headers to the linking target alone.
#
# The links between modules are checked against the layer rules below when CMake configures:
# every dependency edge of every target of the tree is looked up by the folders of both ends, and
# an edge the rules do not allow stops the configuration with both names. Links are hard: a
# library that is part of the build is named, never probed with if(TARGET) or
# $<TARGET_NAME_IF_EXISTS:>; what is optional is switched by the build options (UV_BUILD_GUI,
# UV_BUILD_TESTS, UV_BUILD_BENCH, UV_FUZZ).
#
# Layer rules (a folder may use the folders on the right of its rule; the longest matching
# folder prefix decides; tests/ and bench/ may use everything they test or measure):
#   platform/common  -> platform/posix (implementation files only)
#   platform/posix   -> platform/common
#   platform/*       -> platform/*; platform/posix only PRIVATE, so no interface carries it
#   protocol         -> platform
#   resources        -> platform, protocol
#   client           -> platform, protocol, client
#   gui              -> platform, protocol, gui
#   server           -> platform, protocol, gui, server, resources/server, and
#                       client/agent/identification (the whitelist dialog describes and ejects a
#                       captured stick the way the agent does)
#   logview          -> platform, protocol, gui, logview, resources/logview
#   tools            -> platform, protocol, tools, server/dialogs/exchange (usbvantrel-ctl speaks
#                       the console's command exchange)
# Outside platform/ only tests may use platform/posix: programs go through the platform modules.
#
# How a new target declares what it uses:
#   add_library(uv_foo STATIC Foo.cpp Foo.h)
#   target_link_libraries(uv_foo PUBLIC uv_common PRIVATE uv_trace)
#   uv_module(uv_foo DIR platform/foo)
# A test or benchmark links what it tests; uv_add_test and uv_test_headers give it the headers of
# tests/ (shared fixtures and peers).

set(UV_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/include)

# Allowed dependency folders per folder prefix: "<prefix>=<allowed>;<allowed>...". An empty list
# after "=" allows everything.
set(UV_LAYER_RULES
    "platform/common=platform/common,platform/posix"
    "platform/posix=platform/posix,platform/common"
    "platform=platform"
    "protocol=platform,protocol"
    "resources=platform,protocol,resources"
    "client=platform,protocol,client"
    "gui=platform,protocol,gui"
    "server=platform,protocol,gui,server,resources/server,client/agent/identification"
    "logview=platform,protocol,gui,logview,resources/logview"
    "tools=platform,protocol,tools,server/dialogs/exchange"
    "tests="
    "bench=")

# Edges that break the rules today and are being removed (each names its reason). Keep this
# list short and say in the commit that empties an entry that it did.
set(UV_LAYER_EXCEPTIONS)

# uv_module(<target> DIR <folder> [TREE]): exposes the headers of <folder> (relative to the
# project's source folder) to <target> and to whoever links it. TREE exposes the folder with
# everything below it (the tests' shared fixtures); otherwise only the folder's own headers.
function(uv_module target)
  cmake_parse_arguments(M "TREE" "DIR" "" ${ARGN})
  if(NOT M_DIR)
    message(FATAL_ERROR "uv_module(${target}): DIR <folder> is required")
  endif()
  set(src ${PROJECT_SOURCE_DIR}/${M_DIR})
  set(root ${UV_INCLUDE_ROOT}/${target})
  set(dst ${root}/${M_DIR})
  if(M_TREE)
    get_filename_component(parent ${dst} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${dst})
      file(CREATE_LINK ${src} ${dst} SYMBOLIC)
    endif()
  else()
    file(MAKE_DIRECTORY ${dst})
    # Links of headers that were removed or renamed go first, so they cannot be found.
    file(GLOB stale LIST_DIRECTORIES true ${dst}/*)
    foreach(link ${stale})
      if(IS_SYMLINK ${link})
        file(REMOVE ${link})
      endif()
    endforeach()
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${src} ${src}/*.h)
    foreach(header ${headers})
      file(CREATE_LINK ${src}/${header} ${dst}/${header} SYMBOLIC)
    endforeach()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  elseif(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# The folder of a target relative to the project, or "" for targets outside it.
function(_uv_target_folder target out)
  get_target_property(dir ${target} SOURCE_DIR)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${dir})
  if(rel MATCHES "^\\.\\.")
    set(rel "")
  endif()
  set(${out} "${rel}" PARENT_SCOPE)
endfunction()

# The allowed list of the longest rule prefix that matches <folder>; "-" when no rule matches.
function(_uv_layer_allowed folder out)
  set(best "")
  set(best_len -1)
  set(found "-")
  foreach(rule ${UV_LAYER_RULES})
    string(FIND "${rule}" "=" eq)
    string(SUBSTRING "${rule}" 0 ${eq} prefix)
    math(EXPR start "${eq} + 1")
    string(SUBSTRING "${rule}" ${start} -1 allowed)
    string(LENGTH "${prefix}" len)
    if((folder STREQUAL prefix OR folder MATCHES "^${prefix}/") AND len GREATER best_len)
      set(best_len ${len})
      set(found "${allowed}")
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

function(_uv_folder_in folder prefixes out)
  set(${out} FALSE PARENT_SCOPE)
  string(REPLACE "," ";" list "${prefixes}")
  foreach(prefix ${list})
    if(folder STREQUAL prefix OR folder MATCHES "^${prefix}/")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

function(_uv_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    _uv_collect_targets(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Checks every dependency edge of every target of the tree against the layer rules; called once
# at the end of the top-level CMakeLists.txt.
function(uv_check_layers)
  _uv_collect_targets(${PROJECT_SOURCE_DIR} targets)
  set(errors "")
  foreach(target ${targets})
    _uv_target_folder(${target} folder)
    _uv_layer_allowed("${folder}" allowed)
    if(allowed STREQUAL "-")
      continue()
    endif()
    get_target_property(type ${target} TYPE)
    set(deps "")
    set(public_deps "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(deps ${target} LINK_LIBRARIES)
    endif()
    get_target_property(public_deps ${target} INTERFACE_LINK_LIBRARIES)
    foreach(dep ${deps} ${public_deps})
      if(dep MATCHES "^\\$<LINK_ONLY:(.*)>$")
        set(dep ${CMAKE_MATCH_1})
      endif()
      if(dep MATCHES "\\$<" OR NOT TARGET ${dep})
        continue()
      endif()
      get_target_property(imported ${dep} IMPORTED)
      if(imported)
        continue()
      endif()
      _uv_target_folder(${dep} dep_folder)
      if(dep_folder STREQUAL "" OR dep_folder STREQUAL "cmake" OR dep_folder STREQUAL ".")
        continue()
      endif()
      if("${target}>${dep}" IN_LIST UV_LAYER_EXCEPTIONS)
        continue()
      endif()
      set(ok TRUE)
      if(NOT allowed STREQUAL "")
        _uv_folder_in("${dep_folder}" "${allowed}" ok)
      endif()
      # Only platform modules and tests reach the POSIX helpers.
      if(dep_folder STREQUAL "platform/posix" AND NOT folder MATCHES "^(platform|tests)/")
        set(ok FALSE)
      endif()
      if(NOT ok)
        list(APPEND errors "  ${target} (${folder}) may not use ${dep} (${dep_folder})")
      endif()
    endforeach()
    # A platform module keeps the POSIX helpers out of its interface.
    if(folder MATCHES "^platform/" AND NOT folder STREQUAL "platform/posix"
       AND "uv_posix" IN_LIST public_deps)
      list(APPEND errors "  ${target} (${folder}) must link uv_posix PRIVATE")
    endif()
  endforeach()
  if(errors)
    list(REMOVE_DUPLICATES errors)
    list(JOIN errors "\n" text)
    message(FATAL_ERROR "Layering: dependencies the layer rules (cmake/layers.cmake) forbid:\n"
                        "${text}")
  endif()
endfunction()
