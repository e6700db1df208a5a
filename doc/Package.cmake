# `cpack -G DEB` in a build folder makes the Debian package of the programs,
# the virtual card and the manual pages. Dependencies come from the shared
# libraries the programs link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qeltool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qeltool developers")
set(CPACK_PACKAGE_CONTACT "qeltool developers <qeltool@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware maintenance tool for QC3300 SSDs")
# The summary above is the first line; CPack indents these lines and turns
# the empty one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"qeltool lists the disks that carry the QC3300 flash controller, shows a
card's identity, programs a blank card from its boot ROM, replaces the
firmware of a working card while keeping its identity, and updates it
through ATA DOWNLOAD MICROCODE. It reaches the disk only through SG_IO
on /dev/sdX.

The package also holds qelvcard, a software QC3300 card that answers the
tool through a preload library, for trying the tool without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
