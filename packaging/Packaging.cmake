# Installing Quorrel like a Linux program (cmake --install, or the Debian package that
# ./quorrel.sh package makes with CPack). The programs land side by side in bin/, as they
# are built: the window starts its capture helper from its own folder.

include(GNUInstallDirs)

set(QUORREL_HOMEPAGE "https://quorrel.example.org" CACHE STRING "The project's web page, named in the package and the AppStream data")
set(QUORREL_APPSTREAM_ID "org.example.quorrel.Quorrel" CACHE STRING "The AppStream component id")

set(_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(_gen ${CMAKE_BINARY_DIR}/packaging)

# The starter config.ini: kept as UTF-8 text with LF in the tree, written GBK with CR LF
# like every config.ini the program writes.
add_custom_command(
  OUTPUT ${_gen}/config.ini
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_gen}
  COMMAND sh -c "sed 's/$/\\r/' '${_pkg}/starter-config.ini' | iconv -f UTF-8 -t GBK > '${_gen}/config.ini'"
  DEPENDS ${_pkg}/starter-config.ini
  COMMENT "Writing the starter config.ini (GBK)"
  VERBATIM)
add_custom_target(quorrel_starter_config ALL DEPENDS ${_gen}/config.ini)

configure_file(${_pkg}/quorrel.metainfo.xml.in ${_gen}/quorrel.metainfo.xml @ONLY)
configure_file(${_pkg}/debian/copyright ${_gen}/copyright @ONLY)
configure_file(${_pkg}/debian/changelog.in ${_gen}/changelog @ONLY)
# Debian wants the changelog compressed at maximum, without a time stamp in the gzip header.
add_custom_command(
  OUTPUT ${_gen}/changelog.gz
  COMMAND gzip -n -9 -c ${_gen}/changelog > ${_gen}/changelog.gz
  DEPENDS ${_gen}/changelog
  VERBATIM)
add_custom_target(quorrel_changelog ALL DEPENDS ${_gen}/changelog.gz)

# Manual pages, compressed the same way.
set(_man_pages quorrel quorrel-scan quorrel-fetch quorrel-capture)
set(_man_gz "")
foreach(page IN LISTS _man_pages)
  add_custom_command(
    OUTPUT ${_gen}/${page}.1.gz
    COMMAND gzip -n -9 -c ${_pkg}/man/${page}.1 > ${_gen}/${page}.1.gz
    DEPENDS ${_pkg}/man/${page}.1
    VERBATIM)
  list(APPEND _man_gz ${_gen}/${page}.1.gz)
endforeach()
add_custom_target(quorrel_man_pages ALL DEPENDS ${_man_gz})

install(TARGETS quorrel quorrel-capture quorrel-scan quorrel-fetch
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_pkg}/quorrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_gen}/quorrel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg}/quorrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 24 32 48 64 128 256)
  install(FILES ${_pkg}/icons/quorrel-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME quorrel.png)
endforeach()
install(FILES ${_gen}/config.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/quorrel)
install(FILES ${_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_gen}/copyright ${_gen}/changelog.gz ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quorrel developers")
set(CPACK_PACKAGE_CONTACT "The Quorrel developers <quorrel@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "catch the media files your browser fetches and download them")
set(CPACK_PACKAGE_DESCRIPTION "Quorrel watches the web traffic that leaves your own machine, picks out the
addresses of the files you care about (music, video, pictures, archives,
pages) and files them in a categorised tree, without a proxy or a browser
extension. It previews them and downloads the ticked ones over HTTP, HTTPS
and FTP, or hands them to another download tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUORREL_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, ffmpeg, chromium | firefox-esr")
# The third download mode hands downloads to a running aria2 (JSON-RPC).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "aria2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_pkg}/debian/postinst;${_pkg}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
