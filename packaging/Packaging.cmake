# The Debian packages, made by CPack from the install rules (cmake --workflow --preset package, or
# scripts/build-package.sh). The package preset installs under /usr, so that every path the programs and
# the unit name is where Debian looks for it.
#
# Two packages, so that a headless box installs the service without Qt:
#   kestavo-relayd  the service, the client program, the device list, the udev rule, the unit and the
#                   configuration: everything the window shares with the service;
#   kestavo         the window and the plot viewer, their desktop entry and icon; depends on the first.

# The changelog's newest entry is the release being built: a version raised in CMakeLists.txt alone
# would ship a package whose changelog says otherwise. Its Debian revision is the packages'.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^kestavo \\(${PROJECT_VERSION}-([0-9]+)\\)")
    message(FATAL_ERROR "packaging/changelog's newest entry is not version ${PROJECT_VERSION}: ${newest}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME kestavo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestavo developers")
set(CPACK_PACKAGE_CONTACT "Kestavo developers <kestavo@kestavo.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kestavo.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link, as dpkg-shlibdeps finds them in the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RELAYD_PACKAGE_NAME kestavo-relayd)
set(CPACK_COMPONENT_RELAYD_DESCRIPTION
    "relay service for a USB radio dongle's samples, without a window
Kestavo reads a USB radio dongle through the libusb 0.1 API and relays the
three samples of every transfer to the clients of a small TCP relay, on this
machine or others.

This package holds the service that runs without a window (kestavo-relayd,
with its systemd unit and example configuration), the relay client
(kestavo-client), the device list (kestavo-usb-list), a udev rule that gives
the user at the seat and the plugdev group access to the dongle, and manual
pages. The service can also publish the samples into NATS and on a ZeroMQ
socket. It needs no window system.")
# Until 1.0.0.1-2 one package, kestavo, held all of it: the service's files come over from it.
set(CPACK_DEBIAN_RELAYD_PACKAGE_REPLACES "kestavo (<< 1.0.0.1-2)")
set(CPACK_DEBIAN_RELAYD_PACKAGE_BREAKS "kestavo (<< 1.0.0.1-2)")
set(CPACK_DEBIAN_RELAYD_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(KESTAVO_COMPONENTS relayd)

if(KESTAVO_WINDOW)
    set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME kestavo)
    set(CPACK_COMPONENT_WINDOW_DESCRIPTION
        "desktop receiver and relay for a USB radio dongle's samples
Kestavo reads a USB radio dongle through the libusb 0.1 API and relays the
three samples of every transfer to the clients of a small TCP relay, on this
machine or others.

This package holds the window (kestavo), the live plot of a relay's samples
(kestavo-scope), the desktop entry and manual pages. The service, the client
tools and the udev rule come with kestavo-relayd.")
    set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
        "kestavo-relayd (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
    list(APPEND KESTAVO_COMPONENTS window)
endif()
set(CPACK_COMPONENTS_ALL ${KESTAVO_COMPONENTS})


# What Debian asks of every package: its copyright and a changelog, compressed as Debian compresses it,
# under its own name.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(kestavo_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestavo-relayd COMPONENT relayd)
if(KESTAVO_WINDOW)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestavo COMPONENT window)
endif()

include(CPack)
