# The Debian package (./scripts/package; TAGVISTA_PACKAGE=ON): what a Debian system expects
# besides the programs (a desktop entry, the icon in the hicolor sizes, the man pages, the
# copyright and changelog), and CPack's DEB generator, which writes the control data and
# computes the dependencies with dpkg-shlibdeps. The programs' private libraries and the servers
# live in /usr/lib/<multiarch>/tagvista (CMAKE_INSTALL_LIBDIR, which scripts/package sets, as it
# sets the run path that finds them).
if(WIN32)
  message(FATAL_ERROR "TAGVISTA_PACKAGE makes the Linux package; the Windows installer is made apart")
endif()

set(TAGVISTA_PACKAGE_MAINTAINER "Tagvista developers <tagvista@quellmark.net>" CACHE STRING
    "The Maintainer field of the package and the changelog's signature")
set(package_source ${CMAKE_SOURCE_DIR}/packaging/linux)
set(package_out ${CMAKE_BINARY_DIR}/package-files)
file(MAKE_DIRECTORY ${package_out})
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tagvista)

# The icon: the server picture of the tree, at every size the desktop asks for.
find_program(TAGVISTA_CONVERT NAMES convert-im6.q16 convert REQUIRED)
set(icon_source ${CMAKE_SOURCE_DIR}/resources/icons/0-server.png)
set(icon_files "")
foreach(size 16 32 48 64 128 256)
  set(icon ${package_out}/icons/${size}/tagvista.png)
  add_custom_command(OUTPUT ${icon}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${package_out}/icons/${size}
                     COMMAND ${TAGVISTA_CONVERT} ${icon_source} -filter point -resize ${size}x${size} -strip ${icon}
                     DEPENDS ${icon_source} VERBATIM)
  list(APPEND icon_files ${icon})
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# The man page and the changelog go compressed, without a time stamp in the gzip header, as
# Debian's policy asks.
configure_file(${package_source}/changelog.in ${package_out}/changelog @ONLY)
foreach(page tagvista tagvista-cli tagvista-agent)
  add_custom_command(OUTPUT ${package_out}/${page}.1.gz
                     COMMAND gzip -n -9 -c ${package_source}/${page}.1 > ${package_out}/${page}.1.gz
                     DEPENDS ${package_source}/${page}.1)
endforeach()
add_custom_command(OUTPUT ${package_out}/changelog.gz
                   COMMAND gzip -n -9 -c ${package_out}/changelog > ${package_out}/changelog.gz
                   DEPENDS ${package_out}/changelog)
add_custom_target(tagvista-package-files ALL
                  DEPENDS ${icon_files} ${package_out}/tagvista.1.gz ${package_out}/tagvista-cli.1.gz
                          ${package_out}/tagvista-agent.1.gz ${package_out}/changelog.gz)

install(FILES ${package_source}/tagvista.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${package_out}/tagvista.1.gz ${package_out}/tagvista-cli.1.gz ${package_out}/tagvista-agent.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${package_source}/copyright ${package_out}/changelog.gz DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tagvista)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TAGVISTA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client for OPC DA servers, with a window and a command line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tagvista lists the OPC Data Access servers registered on a computer, reads a
 server's whole address space and shows the live value, type, time stamp and
 quality of every item. tagvista-cli does the same from a shell or a script.
 The package includes a simulation server and a scale server to try it with.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the program's own libraries there, not in a package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${TAGVISTA_PACKAGE_DIRECTORY})
include(CPack)
