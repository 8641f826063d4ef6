# What gets installed, and the Debian packages made of it (cpack, scripts/package.sh).
#
# Component "payment", the package ravo: the payment directory. A plain
# `cmake --install build --prefix DIR` installs only this one, with DIR as the
# payment directory; the package puts it where the point-of-sale plug-in looks,
# /poshome/cash/paysystems/velmont:
#   Ravo, PADFEED, ravo-check, libRAVOux.so.X.Y.Z behind the link libRAVOux.so,
#   DATA/CONFIG.INI.sample, DATA/DEVICE.INI.sample
# Component "plugin", the package ravo-posplugin: libProcessingVelmont.so in
# RAVO_PLUGIN_INSTALL_DIR.
# Component "emulators", the package ravo-emulators: pinpad_emu, host_emu,
# tmanager_emu and ravo-demo in RAVO_EMULATOR_INSTALL_DIR, the test PKI and
# card-range scripts ravo-demo uses in RAVO_EMULATOR_SHARE_DIR.
# The last two have fixed system places and are installed only by name
# (`cmake --install build --component plugin`) or through their package.

# The till user's home: its owner gets the payment directory (cmake/deb/postinst.in).
set(RAVO_TILL_HOME /poshome/cash)
set(RAVO_PLUGIN_INSTALL_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qt5/plugins/payment
  CACHE PATH "Where the plug-in component installs libProcessingVelmont.so")
# ravo-demo finds the scripts it uses in ../share/ravo-emulators beside itself.
set(RAVO_EMULATOR_INSTALL_DIR /usr/bin)
set(RAVO_EMULATOR_SHARE_DIR /usr/share/ravo-emulators)

# ---- payment ----
install(TARGETS Ravo RAVOux RUNTIME DESTINATION . COMPONENT payment
  LIBRARY DESTINATION . COMPONENT payment NAMELINK_COMPONENT payment)
if(TARGET PADFEED)
  install(TARGETS PADFEED RUNTIME DESTINATION . COMPONENT payment)
endif()
if(TARGET ravo-check)
  install(TARGETS ravo-check RUNTIME DESTINATION . COMPONENT payment)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/cmake/deb/CONFIG.INI.sample ${CMAKE_SOURCE_DIR}/cmake/deb/DEVICE.INI.sample
  DESTINATION DATA COMPONENT payment)
set(RAVO_PACKAGED_COMPONENTS payment)

# ---- plugin ----
if(TARGET ProcessingVelmont)
  install(TARGETS ProcessingVelmont LIBRARY DESTINATION ${RAVO_PLUGIN_INSTALL_DIR}
    COMPONENT plugin EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_SOURCE_DIR}/posplugin/README.md DESTINATION /usr/share/doc/ravo-posplugin
    COMPONENT plugin EXCLUDE_FROM_ALL)
  list(APPEND RAVO_PACKAGED_COMPONENTS plugin)
endif()

# ---- emulators ----
install(TARGETS pinpad_emu host_emu tmanager_emu RUNTIME DESTINATION ${RAVO_EMULATOR_INSTALL_DIR}
  COMPONENT emulators EXCLUDE_FROM_ALL)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/demo_sale.sh DESTINATION ${RAVO_EMULATOR_INSTALL_DIR}
  RENAME ravo-demo COMPONENT emulators EXCLUDE_FROM_ALL)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/make_test_pki.sh ${CMAKE_SOURCE_DIR}/scripts/make_range_cfg.sh
  DESTINATION ${RAVO_EMULATOR_SHARE_DIR} COMPONENT emulators EXCLUDE_FROM_ALL)
foreach(emu pinpad host tmanager)
  install(FILES ${CMAKE_SOURCE_DIR}/emulators/${emu}/README.md DESTINATION /usr/share/doc/ravo-emulators
    RENAME ${emu}.md COMPONENT emulators EXCLUDE_FROM_ALL)
endforeach()
list(APPEND RAVO_PACKAGED_COMPONENTS emulators)

# ---- Debian packages ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ravo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "RAVO developers <ravo@localhost>")
set(CPACK_PACKAGE_VENDOR "RAVO")
set(CPACK_PACKAGING_INSTALL_PREFIX ${RAVO_PAYMENT_DIR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${RAVO_PACKAGED_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Depends on the libraries the programs are linked with, read off them by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()

set(CPACK_DEBIAN_PAYMENT_PACKAGE_NAME ravo)
set(CPACK_COMPONENT_PAYMENT_DESCRIPTION "bank-card payments for retail tills
The payment directory /poshome/cash/paysystems/velmont: the launcher Ravo,
the payment library libRAVOux.so (versioned file behind its link), the
PIN-pad setup tool PADFEED, the check program ravo-check and sample
DATA/CONFIG.INI and DATA/DEVICE.INI.
The first installation makes the settings from the samples; later ones never
touch them, nor the batch, journal and reversal files in DATA.")
# zip packs the old logs the management session uploads.
set(CPACK_DEBIAN_PAYMENT_PACKAGE_DEPENDS zip)
configure_file(${CMAKE_SOURCE_DIR}/cmake/deb/postinst.in ${CMAKE_BINARY_DIR}/deb/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PAYMENT_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/postinst)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ravo-posplugin)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS ravo)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "point-of-sale plug-in for RAVO card payments
libProcessingVelmont.so, the Qt 5 plug-in through which the point-of-sale
application pays by card: it runs Ravo in the payment directory for each
operation, reprints the last receipt and tests the link with the bank.")

set(CPACK_DEBIAN_EMULATORS_PACKAGE_NAME ravo-emulators)
set(CPACK_DEBIAN_EMULATORS_PACKAGE_DEPENDS openssl)
set(CPACK_DEBIAN_EMULATORS_PACKAGE_RECOMMENDS ravo)
set(CPACK_COMPONENT_EMULATORS_DESCRIPTION "PIN pad, bank host and terminal manager emulators for RAVO
pinpad_emu (a scripted PIN pad on a pseudo-terminal), host_emu (the acquiring
host over TLS) and tmanager_emu (the terminal manager over TLS), to run and
test a till without hardware or a bank; ravo-demo pays a card sale through
an installed payment directory against them.")

include(CPack)
