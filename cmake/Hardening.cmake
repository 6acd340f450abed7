# hitcheck_harden(TARGET): built with the flags Debian builds its own
# packages with, every hardening feature on (fortified functions, stack
# protector, read-only relocations bound at start-up), as dpkg-buildflags
# gives them where it is installed. Not in the sanitized build, whose
# runtime does its own checking.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
function(hitcheck_harden target)
  if(HITCHECK_SANITIZE OR NOT DPKG_BUILDFLAGS)
    return()
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND env DEB_BUILD_MAINT_OPTIONS=hardening=+all "${DPKG_BUILDFLAGS}" --get ${kind}
      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    if(kind STREQUAL "LDFLAGS")
      target_link_options(${target} PRIVATE ${flags})
    else()
      target_compile_options(${target} PRIVATE ${flags})
    endif()
  endforeach()
endfunction()
