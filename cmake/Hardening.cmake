# The hardening that Debian's own packages get from dpkg-buildflags: stack protector, read-only
# relocations bound at start, and checked string and memory functions where the optimiser can
# check them. Sanitizer and fuzzer builds keep their own instrumentation instead.
option(DRV_HARDEN "Build with Debian's hardening flags" ON)
if(DRV_HARDEN AND NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-fstack-protector-strong)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  if(DRV_SANITIZE STREQUAL "" AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    # _FORTIFY_SOURCE needs optimisation; a toolchain may already define it.
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
endif()
