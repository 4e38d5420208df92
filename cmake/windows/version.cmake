# Windows builds: a VERSIONINFO resource (what Explorer shows under
# Properties > Details) in every program and DLL of the tree, all carrying the
# project's version. Included from the top CMakeLists.txt after every
# directory has defined its targets.
enable_language(RC)

set(K73_PRODUCT "Model K73 converter software")
set(K73_PUBLISHER "Marquant")
set(K73_DESCRIPTION_tovdrv "Model K73 driver")
set(K73_DESCRIPTION_tovcon "Model K73 console")
set(K73_DESCRIPTION_k73log "Model K73 logger")

function(k73_add_version_resource target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(K73_RC_FILETYPE VFT_APP)
    set(K73_RC_FILE ${target}.exe)
  elseif(type STREQUAL "SHARED_LIBRARY")
    set(K73_RC_FILETYPE VFT_DLL)
    set(K73_RC_FILE ${target}.dll)
  else()
    return()
  endif()
  set(K73_RC_NAME ${target})
  set(K73_RC_DESCRIPTION "${K73_DESCRIPTION_${target}}")
  if(NOT K73_RC_DESCRIPTION)
    set(K73_RC_DESCRIPTION "Model K73 ${target}")
  endif()
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Every target of every directory below this one.
function(k73_add_version_resources dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    k73_add_version_resource(${target})
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    k73_add_version_resources(${subdir})
  endforeach()
endfunction()

k73_add_version_resources(${PROJECT_SOURCE_DIR})
