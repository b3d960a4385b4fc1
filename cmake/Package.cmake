# The Linux programs installed as a desktop application (cmake --install), and the Debian package
# CPack makes of them (scripts/package).
set(KOVA_APP_ID org.kovaupdater.KovaUpdater)
set(CMAKE_INSTALL_DOCDIR share/doc/kovaupdater)
include(GNUInstallDirs)
install(TARGETS kovaupdater kovaupdater-cli kova-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/linux/${KOVA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(packaging/linux/${KOVA_APP_ID}.metainfo.xml
  ${CMAKE_BINARY_DIR}/packaging/${KOVA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${KOVA_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon at the theme's usual sizes, made at build time from the skin's icon.
set(icon_source ${PROJECT_SOURCE_DIR}/resources/skin/icon.png)
set(icons)
foreach(size 16 24 32 48 64 128 256)
  set(icon ${CMAKE_BINARY_DIR}/packaging/icons/${size}/${KOVA_APP_ID}.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/icons/${size}
    COMMAND convert ${icon_source} -resize ${size}x${size} -strip ${icon}
    DEPENDS ${icon_source} VERBATIM)
  list(APPEND icons ${icon})
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian's documents of a package: its copyright and its changelog (a native package's),
# compressed reproducibly.
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/changelog
  "kovaupdater (${PROJECT_VERSION}) stable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- KovaUpdater developers <dev@kovaupdater.org>  ${changelog_date}\n")
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
# The manual pages, compressed as Debian keeps them.
set(manuals)
foreach(page kovaupdater kovaupdater-cli kova-publish)
  set(manual ${CMAKE_BINARY_DIR}/packaging/man/${page}.1.gz)
  add_custom_command(OUTPUT ${manual}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/linux/man/${page}.1 > ${manual}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/linux/man/${page}.1 VERBATIM)
  list(APPEND manuals ${manual})
endforeach()
install(FILES ${manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
add_custom_target(kova_package_files ALL DEPENDS ${icons} ${changelog} ${manuals})
install(FILES packaging/linux/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kovaupdater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KovaUpdater developers <dev@kovaupdater.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game launcher that brings a game up to date and starts it")
# CPack puts the summary first and indents these lines. One string: set() would join several
# with ";", which would begin every line after the first.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The launcher a game's players start instead of the game: it shows the\n"
  "publisher's news, checks every file of the game folder, restores wrong or\n"
  "missing ones from the publisher's server, and starts the game.\n"
  "kovaupdater-cli makes the same run on a console, and kova-publish turns a\n"
  "game folder into a publication.")
include(CPack)
