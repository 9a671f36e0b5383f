# SPDX-License-Identifier: MIT
# The Debian package, built by `cpack -G DEB` in a build folder (scripts/package does it all).
# It holds the programs and their manual pages under /usr, the receiver's systemd unit, and
# /etc/default/dorvane as a configuration file that upgrades leave alone.

set(VBAN_PACKAGE_MAINTAINER "VBAN tools maintainers <maintainers@vban-tools.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "vban-tools")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stream audio and send text over a local network with VBAN")
# Lines under 80 characters, as Debian's tools show them; indented lines are kept as they are.
set(CPACK_PACKAGE_DESCRIPTION
    "Three command-line programs that carry audio and text over a local IPv4
network with the VBAN protocol, one UDP datagram per packet.
 - quellor captures PCM from ALSA, a named pipe, a file or standard input
   and streams it to one address or to a broadcast address.
 - dorvane receives one peer's stream and plays it through ALSA, JACK, a
   named pipe, a file or standard output, following every change of rate,
   channel count and format.
 - limmick sends one text message.
The systemd unit dorvane.service runs dorvane as a receiver service.")
set(CPACK_PACKAGE_CONTACT "${VBAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")

# What Debian wants in /usr/share/doc of every package: the copyright in its machine-readable
# format, with the licence's text taken from LICENSE, and the Debian changelog, compressed
# without name or time so that it always gives the same bytes.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" licence)
string(FIND "${licence}" "Permission is hereby" start)
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " VBAN_LICENSE_TEXT "${licence}")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/LICENSE")
configure_file("${PROJECT_SOURCE_DIR}/packaging/copyright.in"
               "${PROJECT_BINARY_DIR}/packaging/copyright" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in"
               "${PROJECT_BINARY_DIR}/packaging/changelog.Debian.txt" @ONLY)
set(changelog "${PROJECT_BINARY_DIR}/packaging/changelog.Debian")
add_custom_command(
    OUTPUT "${changelog}.gz"
    COMMAND "${CMAKE_COMMAND}" -E copy "${changelog}.txt" "${changelog}"
    COMMAND gzip -9 -n -f "${changelog}"
    DEPENDS "${changelog}.txt"
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS "${changelog}.gz")
install(FILES "${PROJECT_BINARY_DIR}/packaging/copyright" "${changelog}.gz"
        DESTINATION "${VBAN_DOC_DIR}" COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
        RENAME vban-tools COMPONENT debian EXCLUDE_FROM_ALL)

# One package, made of the programs, the service and Debian's documents, without the examples
# copy of the unit.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL programs service debian)

set(CPACK_DEBIAN_PACKAGE_NAME "vban-tools")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VBAN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "alsa-utils, jackd2, pulseaudio-utils")
# dpkg-shlibdeps (dpkg-dev) names the packages of every shared library the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The ALSA and JACK client libraries are named at packaging time when the programs are not
# linked with them (see package-depends.cmake).
file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/package-programs.txt"
     CONTENT "$<TARGET_FILE:quellor>\n$<TARGET_FILE:dorvane>\n$<TARGET_FILE:limmick>\n")
set(CPACK_VBAN_PROGRAM_LIST "${PROJECT_BINARY_DIR}/package-programs.txt")
set(CPACK_VBAN_WITH_ALSA "${VBAN_WITH_ALSA}")
set(CPACK_VBAN_WITH_JACK "${VBAN_WITH_JACK}")
set(CPACK_VBAN_WITH_PULSE "${VBAN_WITH_PULSE}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package-depends.cmake")

configure_file("${PROJECT_SOURCE_DIR}/packaging/conffiles"
               "${PROJECT_BINARY_DIR}/packaging/conffiles" COPYONLY)
# The maintainer scripts enable, stop and purge dorvane.service as dh_installsystemd would.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/packaging/conffiles"
    "${PROJECT_SOURCE_DIR}/packaging/postinst" "${PROJECT_SOURCE_DIR}/packaging/prerm"
    "${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
