# What an operator's machine gets: the programs (installed where they are
# built), their manual pages, the udev rule for the remotes' LEDs, and a
# Debian package holding it all.

# Manual pages and the changelog, compressed as Debian wants them.
function(hitcheck_gzip source output)
  add_custom_command(OUTPUT "${output}"
    COMMAND gzip -9n -c "${source}" > "${output}"
    DEPENDS "${source}" VERBATIM)
endfunction()

set(pages serialpulse.1)
if(TARGET hitview)
  list(APPEND pages hitview.1)
endif()
if(TARGET hitcheck)
  list(APPEND pages hitcheck.1)
  install(FILES udev/70-hitcheck-wiimote.rules DESTINATION lib/udev/rules.d)
endif()
set(compressed)
foreach(page IN LISTS pages)
  hitcheck_gzip("${PROJECT_SOURCE_DIR}/man/${page}" "${PROJECT_BINARY_DIR}/man/${page}.gz")
  list(APPEND compressed "${PROJECT_BINARY_DIR}/man/${page}.gz")
endforeach()
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/man")
hitcheck_gzip("${PROJECT_SOURCE_DIR}/packaging/changelog" "${PROJECT_BINARY_DIR}/man/changelog.gz")
add_custom_target(manpages ALL DEPENDS ${compressed} "${PROJECT_BINARY_DIR}/man/changelog.gz")
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright "${PROJECT_BINARY_DIR}/man/changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hitcheck)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Seed 2825e678 maintainers <maintainers@users.noreply.c-seed-2825e678.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wii Remote hit checker and serial pulser for a robot game")
# The first line of the package's description is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "hitcheck sets up two Wii Remotes, the player's and the robot's, lights
LED 1 and LED 2 on them, rumbles both, then reports every button,
infrared and status event on standard output. After each event of the
player's remote it says whether its infrared camera sees exactly two
sources, the robot's LEDs: a hit. It drives the remotes through the
kernel's hid-wiimote driver, so a remote paired over Bluetooth is all it
needs.

hitview shows what each remote's camera sees, live on a terminal, with
the game's verdict, so that the robot's LEDs can be placed and stray light
found before the game.

serialpulse sends the byte 1 to the USB serial device /dev/ttyUSB0 over
and over, and prints a line for each byte that went out.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Remotes that are not connected yet are paired through bluetoothd.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
