# The Debian package, built by scripts/package.sh (cpack -G DEB on an installing build).
set(CPACK_PACKAGE_NAME mv5840vsp)
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_CONTACT "MV5840VSP developers <mv5840vsp@torvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual serial ports for remote data terminal units (DTUs)")
# Wrapped as the control file wants it; CPack indents each line.
set(CPACK_PACKAGE_DESCRIPTION "Each configured DTU appears as a serial port COM<n>, and bytes move both
ways between the port and the DTU over UDP (DTUs log in to port 3700) or
TCP. Runs with a window or as a systemd user service, managed from the
command line with mv5840vspctl.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MV_DEBIAN_RELEASE})
set(CPACK_STRIP_FILES ON)
# strip leaves the compiler's notes (.comment, .note); they go as Debian's own packages lose them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStrip.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
# The libraries come from dpkg-shlibdeps; these are needed without being linked: the font of
# the Chinese texts, and a session bus for the automation interface and the tool.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei, default-dbus-session-bus | dbus-session-bus")
# Qt's own translations give the message boxes Chinese buttons; bash-completion loads the
# tool's completion.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, bash-completion")
include(CPack)
