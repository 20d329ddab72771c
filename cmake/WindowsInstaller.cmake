# The Windows installer (NSIS): drvtirval2000n-<version>-win64-setup.exe in the build directory,
# made by `cmake --build` from the files the zip holds (the same install rules, stripped) and
# packaging/drvtirval2000n.nsi. Debian's nsis provides makensis (scripts/setup installs it).
find_program(DRV_MAKENSIS makensis)
if(NOT DRV_MAKENSIS)
  message(WARNING "makensis is missing (scripts/setup installs nsis): no Windows installer")
  return()
endif()
if(NOT TARGET drvtirval2000n)
  message(STATUS "No driver program in this build (DRV_BUILD_UI is off): no Windows installer")
  return()
endif()

set(drv_installer ${CMAKE_BINARY_DIR}/${DRV_WINDOWS_PACKAGE_NAME}-setup.exe)
# Windows takes a version resource's version as four numbers.
set(drv_version4 ${PROJECT_VERSION_MAJOR})
foreach(part MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    string(APPEND drv_version4 ".0")
  else()
    string(APPEND drv_version4 ".${PROJECT_VERSION_${part}}")
  endif()
endforeach()

set(drv_installer_programs)
foreach(program drvtirval2000n drvtirval-station drvtirval-server drvtirval-decode drvtirval-spool)
  if(TARGET ${program})
    list(APPEND drv_installer_programs ${program})
  endif()
endforeach()

add_custom_command(
  OUTPUT ${drv_installer}
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
          -DWORK_DIR=${CMAKE_BINARY_DIR}/installer -DMAKENSIS=${DRV_MAKENSIS}
          -DSCRIPT=${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.nsi -DOUTPUT=${drv_installer}
          -DVERSION=${PROJECT_VERSION} -DVERSION4=${drv_version4} -DICON=${DRV_DRIVER_ICON}
          "-DCOPYRIGHT=${DRV_LEGAL_COPYRIGHT}"
          -P ${PROJECT_SOURCE_DIR}/cmake/scripts/make_installer.cmake
  DEPENDS ${drv_installer_programs} drv_windows_docs ${drv_example_settings} ${drv_license_text}
          ${drv_guide_html} ${DRV_DRIVER_ICON} ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.nsi
          ${PROJECT_SOURCE_DIR}/cmake/scripts/make_installer.cmake
  COMMENT "Making ${DRV_WINDOWS_PACKAGE_NAME}-setup.exe"
  VERBATIM)
add_custom_target(installer ALL DEPENDS ${drv_installer})
