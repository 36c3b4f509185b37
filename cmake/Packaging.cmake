# Installation in FHS places and the Debian packages.
#
#   cmake --install build [--prefix /usr]    everything
#   make package                             build/quillbright_<version>_<arch>.deb
#                                            and build/quillbright-viewer_<version>_<arch>.deb
#
# Two packages: the daemon for the computer whose screen is extended, the
# viewer for a machine that plays the tablet (it alone needs SDL).
include(GNUInstallDirs)

set(QB_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QB_GENERATED_DIR ${PROJECT_BINARY_DIR}/packaging)

# The user unit as installed names the program bare: systemd looks it up in
# /usr/local/bin and /usr/bin, so the same unit serves the package and
# `cmake --install` (the prefix CPack packages for is not known here).
set(QB_SERVICE_BINARY quillbright)
configure_file(${QB_PACKAGING_DIR}/quillbright.service.in ${QB_GENERATED_DIR}/quillbright.service @ONLY)
# The same unit for `quillbright install-service`, which fills in the path of
# the program that runs it.
file(READ ${QB_PACKAGING_DIR}/quillbright.service.in QB_SERVICE_TEMPLATE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ServiceUnitTemplate.h.in
    ${PROJECT_BINARY_DIR}/generated/cli/ServiceUnitTemplate.h @ONLY)

# Man pages and the changelog, compressed as Debian expects (gzip -n: no
# name or time stamp, so the bytes depend only on the text).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(qb_compressed)
function(qb_gzip input output)
    add_custom_command(OUTPUT ${output}
        COMMAND ${GZIP_PROGRAM} -9nc ${input} > ${output}
        DEPENDS ${input} VERBATIM)
    set(qb_compressed ${qb_compressed} ${output} PARENT_SCOPE)
endfunction()
foreach(page quillbright quillbright-viewer)
    configure_file(${QB_PACKAGING_DIR}/${page}.1 ${QB_GENERATED_DIR}/${page}.1 @ONLY)
    qb_gzip(${QB_GENERATED_DIR}/${page}.1 ${QB_GENERATED_DIR}/${page}.1.gz)
endforeach()
configure_file(${QB_PACKAGING_DIR}/changelog.in ${QB_GENERATED_DIR}/changelog.Debian @ONLY)
qb_gzip(${QB_GENERATED_DIR}/changelog.Debian ${QB_GENERATED_DIR}/changelog.Debian.gz)
# Bash completion, written by the program from its own command table.
add_custom_command(OUTPUT ${QB_GENERATED_DIR}/quillbright.bash
    COMMAND quillbright completion > ${QB_GENERATED_DIR}/quillbright.bash
    DEPENDS quillbright VERBATIM)
add_custom_target(qb_packaging_files ALL DEPENDS ${qb_compressed} ${QB_GENERATED_DIR}/quillbright.bash)

# The daemon.
install(TARGETS quillbright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT daemon)
install(FILES ${QB_GENERATED_DIR}/quillbright.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT daemon)
install(FILES ${QB_GENERATED_DIR}/quillbright.service DESTINATION lib/systemd/user COMPONENT daemon)
# The desktop file KWin's permission check reads: its Exec must be the
# program's absolute path, known only at install time (CPack installs under
# /usr, `cmake --install` under its --prefix).
install(CODE "
    set(QB_DESKTOP_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quillbright\")
    configure_file(${QB_PACKAGING_DIR}/quillbright.desktop.in ${QB_GENERATED_DIR}/quillbright.desktop @ONLY)
    file(INSTALL ${QB_GENERATED_DIR}/quillbright.desktop
        DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/applications\")
" COMPONENT daemon)
install(FILES ${QB_GENERATED_DIR}/quillbright.bash DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    RENAME quillbright COMPONENT daemon)
install(FILES README.md docs/architecture.md docs/platform.md docs/protocol.md
    ${QB_PACKAGING_DIR}/copyright ${QB_GENERATED_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillbright COMPONENT daemon)

# The viewer, when SDL2 was found.
if(TARGET quillbright-viewer)
    install(TARGETS quillbright-viewer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT viewer)
    install(FILES ${QB_GENERATED_DIR}/quillbright-viewer.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT viewer)
    install(FILES ${QB_PACKAGING_DIR}/copyright ${QB_GENERATED_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillbright-viewer COMPONENT viewer)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbright)
set(CPACK_PACKAGE_VENDOR "QuillBright")
set(CPACK_PACKAGE_CONTACT "QuillBright developers <packages@quillbright.app>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A Debian revision: the packaging is ours, not upstream's (changelog.Debian).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon)
if(TARGET quillbright-viewer)
    list(APPEND CPACK_COMPONENTS_ALL viewer)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillbright.app")
# CPack indents the description's continuation lines itself.
# Depends from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME quillbright)
set(CPACK_DEBIAN_DAEMON_PACKAGE_RECOMMENDS "adb")
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS "quillbright-viewer, lsof")
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "Android tablet as a second screen for the Linux desktop
QuillBright turns an Android tablet or phone, above all a paper-like
greyscale tablet, into a second screen: a virtual display per device,
captured up to 60 times a second, converted to greyscale or RGB and
streamed to the companion app over adb reverse tunnels or the local
network. Touches come back as mouse and scroll events.
.
This package holds the quillbright daemon and command line, its manual
page and a systemd user unit.")

set(CPACK_DEBIAN_VIEWER_PACKAGE_NAME quillbright-viewer)
set(CPACK_DEBIAN_VIEWER_PACKAGE_SECTION graphics)
set(CPACK_COMPONENT_VIEWER_DESCRIPTION "window that plays the tablet for QuillBright
quillbright-viewer connects to a QuillBright daemon like the companion app
does, shows its stream in a window and sends the mouse back as touch
input, so a second Linux machine or a laptop can act as the tablet.")

include(CPack)
