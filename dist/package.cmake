# `make package` (cpack -G DEB in the build folder): one Debian package,
# tessaly, holding everything `cmake --install` installs, under /usr so that
# the udev rule lands in /usr/lib/udev/rules.d where udev reads it. The
# libraries it needs come from dpkg-shlibdeps (dpkg-dev), so its Depends line
# follows what the programs were really linked against.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaly)
set(CPACK_PACKAGE_VENDOR "Tessaly")
set(CPACK_PACKAGE_CONTACT "Tessaly developers <dev@tessaly.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update GPS radar detectors over USB")
set(CPACK_PACKAGE_DESCRIPTION
  "Tessaly writes the newest map data, voice, radar-mute data and program to
GPS radar detectors connected over USB, from the update server or from a
package file, and reads back what it wrote before it reports success. The
package holds the desktop program tessaly, the terminal program tessaly-cli,
the device simulator tessaly-devsim, the container builder tessaly-pack, the
udev rule that gives the user at the seat access to the device, manual pages
and bash completion.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME tessaly)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tessaly.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not libraries, so dpkg-shlibdeps cannot see them: the window's Chinese text
# needs a CJK font, and a user who is not root ejects the device's disk
# through udisks2 (without it only root may unmount and eject);
# bash-completion loads the completion scripts.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk, udisks2, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
include(CPack)
