# SPDX-License-Identifier: MIT
# Read by cpack before it builds a package. The alsa, jack and pulse backends need the ALSA,
# JACK and PulseAudio client libraries at run time; dpkg-shlibdeps names their packages when the
# programs are linked with them, and this names them when they are not (the linker drops a
# library that nothing calls), so that the package always brings those of the backends built.
if(CPACK_GENERATOR STREQUAL "DEB")
    file(STRINGS "${CPACK_VBAN_PROGRAM_LIST}" programs)
    set(dynamic_sections "")
    foreach(program IN LISTS programs)
        execute_process(COMMAND readelf --dynamic "${program}"
                        OUTPUT_VARIABLE section RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "readelf could not read ${program}")
        endif()
        string(APPEND dynamic_sections "${section}")
    endforeach()
    set(depends "")
    if(CPACK_VBAN_WITH_ALSA AND NOT dynamic_sections MATCHES "libasound\\.so")
        list(APPEND depends "libasound2 (>= 1.0.16)")
    endif()
    if(CPACK_VBAN_WITH_JACK AND NOT dynamic_sections MATCHES "libjack\\.so")
        list(APPEND depends "libjack-jackd2-0 | libjack-0.125")
    endif()
    if(CPACK_VBAN_WITH_PULSE AND NOT dynamic_sections MATCHES "libpulse\\.so")
        list(APPEND depends "libpulse0")
    endif()
    list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
