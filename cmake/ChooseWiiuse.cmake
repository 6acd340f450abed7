# Which wiiuse hitcheck is built against:
#   auto     a wiiuse installation when one is found, else the project's own
#   system   a wiiuse installation, or a configure error
#   bundled  the project's own library, over the kernel's Wii Remote driver
# The result is the target hitcheck_wiiuse (absent when there is none).
set(HITCHECK_WIIUSE auto CACHE STRING "Wii Remote library behind hitcheck: auto, system or bundled")
set_property(CACHE HITCHECK_WIIUSE PROPERTY STRINGS auto system bundled)
if(NOT HITCHECK_WIIUSE MATCHES "^(auto|system|bundled)$")
  message(FATAL_ERROR "HITCHECK_WIIUSE must be auto, system or bundled, not '${HITCHECK_WIIUSE}'")
endif()

if(NOT HITCHECK_WIIUSE STREQUAL "bundled")
  find_path(WIIUSE_INCLUDE_DIR wiiuse.h)
  find_library(WIIUSE_LIBRARY NAMES wiiuse)
endif()

if(WIIUSE_INCLUDE_DIR AND WIIUSE_LIBRARY AND NOT HITCHECK_WIIUSE STREQUAL "bundled")
  add_library(hitcheck_wiiuse INTERFACE)
  target_include_directories(hitcheck_wiiuse INTERFACE "${WIIUSE_INCLUDE_DIR}")
  target_link_libraries(hitcheck_wiiuse INTERFACE "${WIIUSE_LIBRARY}")
  if(WIIUSE_LIBRARY MATCHES "\\.a$")
    # A static wiiuse brings its own needs: BlueZ and the maths library.
    find_library(WIIUSE_BLUETOOTH_LIBRARY NAMES bluetooth)
    if(NOT WIIUSE_BLUETOOTH_LIBRARY)
      message(FATAL_ERROR "The static wiiuse at ${WIIUSE_LIBRARY} needs libbluetooth, which was not found (Debian: libbluetooth-dev)")
    endif()
    target_link_libraries(hitcheck_wiiuse INTERFACE "${WIIUSE_BLUETOOTH_LIBRARY}" m)
  endif()
  message(STATUS "hitcheck: using the wiiuse installation at ${WIIUSE_LIBRARY}")
elseif(HITCHECK_WIIUSE STREQUAL "system")
  message(FATAL_ERROR "HITCHECK_WIIUSE=system, but no wiiuse installation was found "
    "(wiiuse.h: ${WIIUSE_INCLUDE_DIR}, libwiiuse: ${WIIUSE_LIBRARY}). "
    "Point CMAKE_PREFIX_PATH at it, or use HITCHECK_WIIUSE=bundled.")
elseif(TARGET wiiuse_bundled)
  add_library(hitcheck_wiiuse ALIAS wiiuse_bundled)
  message(STATUS "hitcheck: using the project's own wiiuse, over the kernel's Wii Remote driver")
else()
  message(STATUS "hitcheck: NOT built: no wiiuse installation was found and the project's own library is not available")
endif()
