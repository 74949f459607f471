# The distribution's hardening flags for the optimised builds (Release,
# RelWithDebInfo, MinSizeRel): what dpkg-buildflags gives a Debian package
# built with "hardening=+all": _FORTIFY_SOURCE, the strong stack protector,
# format-string checks, and a read-only relocation table resolved at start
# (relro and BIND_NOW). -g and -O2 are left out: the build type chooses those.
#
# Not with sanitizers or fuzzing (ASan and TSan bring their own checks, and
# FORTIFY's wrappers hide accesses from them) nor without optimisation
# (_FORTIFY_SOURCE needs it). SORVIK_HARDENING=OFF leaves the flags alone.
option(SORVIK_HARDENING "Build optimised builds with the distribution's hardening flags" ON)

set(SORVIK_HARDENING_APPLIED OFF)
if(SORVIK_HARDENING AND NOT SORVIK_SANITIZE AND NOT SORVIK_BUILD_FUZZ
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  find_program(SORVIK_DPKG_BUILDFLAGS dpkg-buildflags)
  if(SORVIK_DPKG_BUILDFLAGS)
    set(sorvik_hardening_env DEB_BUILD_MAINT_OPTIONS=hardening=+all "DEB_CXXFLAGS_MAINT_STRIP=-g -O2")
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${sorvik_hardening_env} ${SORVIK_DPKG_BUILDFLAGS} --get ${kind}
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE sorvik_flags OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE sorvik_result)
      if(NOT sorvik_result EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
      endif()
      separate_arguments(sorvik_hardening_${kind} UNIX_COMMAND "${sorvik_flags}")
    endforeach()
  else()
    # Not a Debian system: the same flags by hand.
    set(sorvik_hardening_CPPFLAGS -D_FORTIFY_SOURCE=2)
    set(sorvik_hardening_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
    set(sorvik_hardening_LDFLAGS -Wl,-z,relro -Wl,-z,now)
  endif()
  add_compile_options(${sorvik_hardening_CPPFLAGS} ${sorvik_hardening_CXXFLAGS})
  add_link_options(${sorvik_hardening_LDFLAGS})
  # Position-independent executables, so that the program loads at a random
  # address (Debian's compiler does so anyway; other compilers are told).
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  set(SORVIK_HARDENING_APPLIED ON)
  message(STATUS "Hardening flags: ${sorvik_hardening_CPPFLAGS} ${sorvik_hardening_CXXFLAGS} ${sorvik_hardening_LDFLAGS}")
endif()
