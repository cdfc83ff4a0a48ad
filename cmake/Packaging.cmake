# The Debian packages (scripts/package): everything `cmake --install` puts under /usr, in two
# packages: "tarvel" and, when Qt WebEngine was there to build it, "tarvel-browser" with the
# embedded browser, which "tarvel" recommends: who wants only IMAP and Exchange never installs
# Chromium.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvel)
set(CPACK_PACKAGE_VENDOR Quorline)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvel maintainers <tarvel@quorline.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop notifier of unread e-mail")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvel E-Mail Notifier sits in the notification area and checks the mail accounts you\n"
    "enable on a timer: IMAP with IDLE and OAuth2, Exchange Web Services, the Gmail feed and\n"
    "web mail services. It tells you about new mail with a tray icon and its count, a popup,\n"
    "a sound and a mail list window, and opens the right mail reader with one click.\n"
    "tarvelctl, its command-line companion, edits the settings and runs one-off checks.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quorline.com/tarvel/")
# The libraries the programs link come from dpkg-shlibdeps; the Qt platform plugins and
# xdg-open are loaded or started at run time and are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tarvel)
set(CPACK_DEBIAN_TARVEL_PACKAGE_NAME tarvel)
set(CPACK_COMPONENT_TARVEL_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
if(TARGET tarvel-browser)
  list(APPEND CPACK_COMPONENTS_ALL browser)
  set(CPACK_DEBIAN_TARVEL_PACKAGE_RECOMMENDS "ca-certificates, tarvel-browser")
  set(CPACK_DEBIAN_BROWSER_PACKAGE_NAME tarvel-browser)
  set(CPACK_DEBIAN_BROWSER_PACKAGE_DEPENDS "tarvel (= ${PROJECT_VERSION}), qt6-qpa-plugins")
  # CPack puts the common summary above it as the synopsis.
  set(CPACK_DEBIAN_BROWSER_DESCRIPTION
      "This package holds tarvel-browser, the notifier's embedded browser on Qt WebEngine\n"
      "(Chromium): the sign-in window of web mail accounts and the invisible browser that\n"
      "reads their pages. The notifier starts it when needed and ends it when idle.")
  string(REPLACE ";" "" CPACK_DEBIAN_BROWSER_DESCRIPTION "${CPACK_DEBIAN_BROWSER_DESCRIPTION}")
endif()

include(CPack)
