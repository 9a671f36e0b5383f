# SPDX-License-Identifier: MIT
# The audio backends that need a client library are switches: VBAN_WITH_ALSA, VBAN_WITH_JACK
# and VBAN_WITH_PULSE. Each defaults to ON when pkg-config finds the library and to OFF
# otherwise, so a receiver box without JACK, or a build without ALSA, is one -D away. Forcing one
# ON without its library stops the configuration with the package to install. A switch found ON
# leaves an imported target PkgConfig::ALSA, PkgConfig::JACK or PkgConfig::PULSE for whatever
# links the library.

find_package(PkgConfig REQUIRED)

# vban_backend_switch(<switch> <prefix> <pkg-config module> <Debian package>)
function(vban_backend_switch switch prefix module package)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
    option(${switch} "Build the ${module} backend (needs ${package})" ${${prefix}_FOUND})
    if(${switch} AND NOT ${prefix}_FOUND)
        message(FATAL_ERROR "${switch} is ON, but pkg-config finds no '${module}': install "
                            "${package}, or configure with -D${switch}=OFF")
    endif()
    message(STATUS "${switch}: ${${switch}}")
endfunction()

vban_backend_switch(VBAN_WITH_ALSA ALSA alsa libasound2-dev)
vban_backend_switch(VBAN_WITH_JACK JACK jack libjack-jackd2-dev)
vban_backend_switch(VBAN_WITH_PULSE PULSE libpulse libpulse-dev)
