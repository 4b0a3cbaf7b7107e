# Debian package: cpack -G DEB in the build folder writes cuedeck_<version>_<arch>.deb.
# The package installs under /usr (see Install.cmake for the layout) and its maintainer
# scripts create the shared data folder /var/lib/varnel/cuedeck on installation.
include_guard(GLOBAL)

set(CUEDECK_MAINTAINER "cuedeck developers <cuedeck@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cuedeck)
set(CPACK_PACKAGE_VENDOR varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CUEDECK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sound board with eight pads and ten set lists")
# Lines of the long description stay within 80 columns, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "CUEDECK fires sound clips (WAV or MP3) from eight pads, one key each
(Q W E R A S D F), each with its own picture, caption, loop switch and
volume. Ten set lists keep complete line-ups of the eight pads and switch
with one click; the program asks before unsaved changes are lost. The user
interface is Japanese.")
# Install into the staging folder through DESTDIR, so that CMAKE_INSTALL_PREFIX is /usr while
# the install runs and the starter set list and desktop entry name /usr paths, not the
# staging folder. With DESTDIR, cpack takes the prefix from CPACK_INSTALL_PREFIX.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The Debian changelog (installed by Install.cmake) names the version of the package.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^cuedeck \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog starts with '${changelog_head}': its newest "
                        "entry must be for version ${PROJECT_VERSION}")
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CUEDECK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries the program links (with their versions) come from dpkg-shlibdeps; the
# list below adds what it cannot see: Qt's platform plugins, the Japanese font the window
# asks for, and Qt's own Japanese translations for the standard dialogs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6widgets6 (>= 6.4), qt6-qpa-plugins, libsdl2-2.0-0, libsndfile1, libsoxr0, fonts-noto-cjk, qt6-translations-l10n")
# TIFF pictures need Qt's extra image formats; the help command opens the manual in the
# desktop's browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-image-formats-plugins, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
