# SPDX-License-Identifier: MIT
# Debian's hardening for the programs a package ships: what dpkg-buildflags gives with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all (fortify, strong stack protector, format checks,
# read-only relocations bound at start, PIE), with stack-clash and control-flow protection,
# which dpkg adds from its next release on. On by default; the sanitizer and fuzzing builds
# instrument the code themselves and leave it off.

include(CMakeDependentOption)
cmake_dependent_option(VBAN_HARDENING "Build with Debian's hardening flags" ON
                       "NOT VBAN_SANITIZE;NOT VBAN_TSAN;NOT VBAN_FUZZ" OFF)

if(VBAN_HARDENING)
    add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                        -Wformat -Werror=format-security -Wdate-time)
    # Fortify works through the optimiser: an unoptimised build would only get glibc's warning.
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>"
                        "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
    add_link_options(LINKER:-z,relro LINKER:-z,now)
    # Code made at the link (link-time optimisation) is protected only by the flags given there.
    add_link_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    include(CheckPIESupported)
    check_pie_supported()
endif()
message(STATUS "VBAN_HARDENING: ${VBAN_HARDENING}")
