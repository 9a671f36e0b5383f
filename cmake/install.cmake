# SPDX-License-Identifier: MIT
# What `cmake --install` puts under the prefix, and the Debian package built from it by cpack.
#
# Default installation: bin/quellor, bin/dorvane, bin/limmick, their manual pages
# (share/man/man1/*.1.gz), and the example service files under share/doc/vban-tools/examples.
# The component "service" holds the receiver's systemd unit (lib/systemd/system) and its
# environment file (/etc/default/dorvane). It is left out of a default installation, since
# /etc lies outside any prefix, and goes into the package.

include(GNUInstallDirs)

set(VBAN_PROGRAMS quellor dorvane limmick)
set(VBAN_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/vban-tools")
set(VBAN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the prefix")

install(TARGETS ${VBAN_PROGRAMS} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT programs)
# A stripped installation (the package's) also drops the compiler's .comment, as dh_strip does.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program ${VBAN_PROGRAMS})
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        endforeach()
    endif()" COMPONENT programs)

# Manual pages are installed compressed, as man-db and Debian expect; -n keeps the name and
# time out of the gzip header so that the same page always gives the same bytes.
set(man_pages "")
foreach(program IN LISTS VBAN_PROGRAMS)
    set(source "${PROJECT_SOURCE_DIR}/man/${program}.1")
    set(page "${PROJECT_BINARY_DIR}/man/${program}.1")
    add_custom_command(
        OUTPUT "${page}.gz"
        COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${page}"
        COMMAND gzip -9 -n -f "${page}"
        DEPENDS "${source}"
        COMMENT "Compressing the manual page of ${program}"
        VERBATIM)
    list(APPEND man_pages "${page}.gz")
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT programs)

install(FILES packaging/dorvane.service packaging/dorvane.default
        DESTINATION "${VBAN_DOC_DIR}/examples" COMPONENT examples)

install(FILES packaging/dorvane.service
        DESTINATION "${VBAN_SYSTEMD_UNIT_DIR}" COMPONENT service EXCLUDE_FROM_ALL)
install(FILES packaging/dorvane.default
        DESTINATION /etc/default RENAME dorvane COMPONENT service EXCLUDE_FROM_ALL)

include("${CMAKE_CURRENT_LIST_DIR}/packaging.cmake")
