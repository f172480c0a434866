# Install rules and packages. Linux: the stripped binary, its man page and a
# changelog compressed as Debian wants them, the README, the licence as the
# copyright file, and the systemd unit. Windows: a zip of the .exe, the README
# and the licence (make package-windows).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME velloran)
set(CPACK_PACKAGE_VENDOR "Velloran developers")
set(CPACK_PACKAGE_CONTACT "Velloran developers <velloran@velloran.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console TCP relay hub")
set(CPACK_PACKAGE_DESCRIPTION
    "Velloran relays raw bytes between TCP clients: every chunk one client sends
is forwarded at once to every other connected client, with its last byte set
to zero. An operator console lists the connected users, shows their count and
the port, and quits with one key. It also runs headless as a service.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# Installing and packaging need what is installed, not the tests: the
# Makefile builds those targets first, and make package-windows only the .exe.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  install(TARGETS velloran RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_SYSTEM_NAME win32)
  include(CPack)
  return()
endif()

install(TARGETS velloran RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# gzip -9n: best compression and no name or time stamp, so the same page
# gives the same bytes on every build.
function(velloran_gzip source output)
  get_filename_component(name ${output} NAME_WLE)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/compressed/${name}
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/compressed/${name}
    DEPENDS ${source}
    VERBATIM)
endfunction()
configure_file(contrib/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
velloran_gzip(${PROJECT_SOURCE_DIR}/doc/velloran.1 ${PROJECT_BINARY_DIR}/compressed/velloran.1.gz)
velloran_gzip(${PROJECT_BINARY_DIR}/changelog ${PROJECT_BINARY_DIR}/compressed/changelog.gz)
add_custom_target(compressed_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/compressed/velloran.1.gz
                                              ${PROJECT_BINARY_DIR}/compressed/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/compressed/velloran.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/compressed/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit names the binary where this install puts it, and goes where
# systemd looks for units of that prefix (/usr/lib/systemd/system,
# /usr/local/lib/systemd/system). Written when installing, since
# `cmake --install --prefix` and cpack choose the prefix only then.
install(CODE "
  set(VELLORAN_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velloran\")
  configure_file(\"${PROJECT_SOURCE_DIR}/contrib/velloran@.service.in\"
                 \"${PROJECT_BINARY_DIR}/unit/velloran@.service\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/unit/velloran@.service DESTINATION lib/systemd/system)

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
