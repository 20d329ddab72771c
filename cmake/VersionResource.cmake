# The copyright line of LICENSE ("Copyright 2026 the drvtirval2000n authors"), for the version
# resources and the Windows installer.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE DRV_LEGAL_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)

# drv_add_version_resource(<target> <description>): on Windows, gives the program a version
# resource with the project's version as its "FileVersion", which the driver reports to the
# message server (base/version.h reads it back). Elsewhere nothing.
function(drv_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(DRV_RC_NAME ${target})
  set(DRV_RC_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
