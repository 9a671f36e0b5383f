# The Debian package, built by `cpack -G DEB` in a build folder (scripts/package does it all).
# It holds the programs and their manual pages under /usr, the receiver's systemd unit, and
# /etc/default/dorvane as a configuration file that upgrades leave alone.

set(VBAN_PACKAGE_MAINTAINER "VBAN tools maintainers <maintainers@vban-tools.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "vban-tools")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stream audio and send text over a local network with VBAN")
set(CPACK_PACKAGE_DESCRIPTION
    "Three command-line programs that carry audio and text over a local IPv4 network with the
VBAN protocol, one UDP datagram per packet.
 - quellor captures PCM from ALSA, a named pipe, a file or standard input and streams it to
   one address or to a broadcast address.
 - dorvane receives one peer's stream and plays it through ALSA, JACK, a named pipe, a file
   or standard output, following every change of rate, channel count and format.
 - limmick sends one text message.
An example systemd unit runs dorvane as a receiver service.")
set(CPACK_PACKAGE_CONTACT "${VBAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")

# One package, made of the programs and the service, without the examples copy of the unit.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL programs service)

set(CPACK_DEBIAN_PACKAGE_NAME "vban-tools")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VBAN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "alsa-utils, jackd2")
# dpkg-shlibdeps (dpkg-dev) names the packages of every shared library the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The ALSA and JACK client libraries are named at packaging time when the programs are not
# linked with them (see package-depends.cmake).
file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/package-programs.txt"
     CONTENT "$<TARGET_FILE:quellor>\n$<TARGET_FILE:dorvane>\n$<TARGET_FILE:limmick>\n")
set(CPACK_VBAN_PROGRAM_LIST "${PROJECT_BINARY_DIR}/package-programs.txt")
set(CPACK_VBAN_WITH_ALSA "${VBAN_WITH_ALSA}")
set(CPACK_VBAN_WITH_JACK "${VBAN_WITH_JACK}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package-depends.cmake")

configure_file("${PROJECT_SOURCE_DIR}/packaging/conffiles"
               "${PROJECT_BINARY_DIR}/packaging/conffiles" COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
