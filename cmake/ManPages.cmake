# Manual pages, made at build time by help2man from each program's --help and --version, with the
# hand-written sections of packaging/man/<program>.h2m; installed gzipped under share/man/man1.
# Only the programs of this build get one. Needs DRV_PACKAGE_PROGRAMS and DRV_SOURCE_DATE_EPOCH.

# Sanitized and fuzzing builds are never packaged, and their programs may report at exit.
if(NOT DRV_SANITIZE STREQUAL "" OR DRV_BUILD_FUZZ OR CMAKE_CROSSCOMPILING OR WIN32)
  return()
endif()
find_program(DRV_HELP2MAN help2man)
find_program(DRV_GZIP gzip)
if(NOT DRV_HELP2MAN OR NOT DRV_GZIP)
  message(WARNING "help2man or gzip is missing (scripts/setup installs them): no manual pages")
  return()
endif()

set(drv_man_pages "")
foreach(program IN LISTS DRV_PACKAGE_PROGRAMS)
  if(NOT TARGET ${program})
    continue()
  endif()
  set(h2m ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  # The driver is a Qt program: on the offscreen platform it runs without a display. The C locale
  # and the fixed date make the same page on every machine; gzip -n leaves the name and the time
  # out of the header.
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen LC_ALL=C
            SOURCE_DATE_EPOCH=${DRV_SOURCE_DATE_EPOCH}
            ${DRV_HELP2MAN} --no-info --include=${h2m} --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${DRV_GZIP} -9nf ${page}
    DEPENDS ${program} ${h2m}
    COMMENT "Manual page ${program}(1)"
    VERBATIM)
  list(APPEND drv_man_pages ${page}.gz)
endforeach()
add_custom_target(drv_man_pages ALL DEPENDS ${drv_man_pages})
install(FILES ${drv_man_pages} DESTINATION share/man/man1)
