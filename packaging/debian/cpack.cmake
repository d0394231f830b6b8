# The Debian package, built by CPack from the project's own install rules (scripts/package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qelvora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Installed with DESTDIR into the staging folder, so that install-time code sees the real prefix
# (the service unit names its program by it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "question answering with a Chinese user interface")
# Lines of at most 72 characters: the control file shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION
    "Qelvora is a small desktop program that answers questions: type a
question, pick one of three answer sources and press the ask button, and
the answer is typed into the answer box one character at a time while a
tune plays.

It tells the Beijing time itself and looks other questions up on answer
sites. The package includes a set of reference answer sites, served on
127.0.0.1:8750 by the qelvora-sites service, so it answers without
reaching the internet. qelvora-ask asks the same way in a terminal.")

set(QELVORA_MAINTAINER "Qelvora developers <developers@qelvora.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${QELVORA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QELVORA_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION education)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Libraries the programs link come from dpkg-shlibdeps. What they load at run time does not show
# there: the Wayland platform plugin (qt6-wayland), the traditional-to-simplified dictionary
# (libopencc-data) and a font with the Chinese characters of the window. The xcb platform plugin
# and the GIF reader ship in libqt6gui6, the PulseAudio output in libqt6multimedia6; both are
# linked, so shlibdeps lists them already.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk, libopencc-data, qt6-wayland")
# The download offer opens the desktop's browser through xdg-open; without it the window names the
# address on standard error instead. Qt's own texts (the edit boxes' context menu) come in the
# user's language, or the window's Chinese, from Qt's translations; without them they are English.
# The Chinese knowledge the answer sites search where it is installed; each is optional.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "xdg-utils, qt6-translations-l10n, manpages-zh, debian-faq-zh-cn, debian-reference-zh-cn, fortunes-zh, unicode-data")

# Enable and start qelvora-sites.service on install, stop it on removal, clean up on purge.
# The triggers restart it when a package changes the Chinese data it searches, which starts its
# index unit again (as the APT hook, a conffile, does after apt-get update); the sites answer from
# their corpus until they take up the new index.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm
    ${CMAKE_CURRENT_LIST_DIR}/postrm ${CMAKE_CURRENT_LIST_DIR}/triggers
    ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
