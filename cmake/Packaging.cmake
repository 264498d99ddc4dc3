# The Debian package: cpack -G DEB in a configured tree (scripts/package)
# makes zindle_<version>_amd64.deb of what "cmake --install" puts in place.

set(ZINDLE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/zindle)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright DESTINATION ${ZINDLE_DOC_DIR})
# Debian wants a changelog in every package; the one kept with the sources,
# compressed without a time stamp.
set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/data/debian/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/debian/changelog)
add_custom_target(zindle_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${ZINDLE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zindle)
set(CPACK_PACKAGE_VENDOR "Zindle")
set(CPACK_PACKAGE_CONTACT "Zindle maintainers <maintainers@users.noreply.c-seed-a43df1ba.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find videos on video sites and download them")
set(CPACK_PACKAGE_INSTALL_DIRECTORY zindle)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ZINDLE_HOMEPAGE})
# The libraries the programs link come from dpkg-shlibdeps; the SVG icon
# engine is a Qt plug-in that nothing links, so it is named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# The long description below the summary; CPack indents it and marks the
# empty line between the paragraphs as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zindle searches video-sharing sites and downloads the videos you pick. It
knows no site by itself: each site is described by a small plain-text engine
file that says where its search pages are, how to cut each hit out of a
result page, and how to get from a video's ID to its file.

The package holds the Qt program zindle and its command-line companion
zindle-cli, which share the download list: several downloads at once,
several connections per video, resume after an interruption, and HLS
streams saved as one playable file.")
# Files and folders 0755/0644 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)

# Everything "cmake --install" copies, without the tests: scripts/package
# builds this in a tree configured with CMAKE_SKIP_INSTALL_ALL_DEPENDENCY.
add_custom_target(install_files)
add_dependencies(install_files zindle zindle-cli zindle_man zindle_changelog)
