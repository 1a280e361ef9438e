# Installation under FHS paths and the Debian package built from it.
#
# Under the prefix: the daemons that only systemd starts in lib/wexo, the administrator's tools in
# bin, the systemd units in lib/systemd/system (systemd reads /usr/lib/systemd/system and
# /usr/local/lib/systemd/system alike), the documentation in share/doc/wexo. `make install` uses
# /usr/local unless told otherwise; the package installs under /usr. The demo, the reference policy
# server and the test programs are not installed.

# Each program is installed only when the build has it, so that the rules hold while a program is
# still being written. The list is what the package check expects to find.
set(WEXO_INSTALLED_PROGRAMS "")
set(WEXO_INSTALLED_UNITS "")
foreach(daemon wexowfp wexosvc)
    if(TARGET ${daemon})
        install(TARGETS ${daemon} RUNTIME DESTINATION lib/wexo)
        list(APPEND WEXO_INSTALLED_PROGRAMS lib/wexo/${daemon})
        list(APPEND WEXO_INSTALLED_UNITS ${daemon}.service)
    endif()
endforeach()
foreach(tool wexo-reg wexo-ctl)
    if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION bin)
        list(APPEND WEXO_INSTALLED_PROGRAMS bin/${tool})
    endif()
endforeach()

# The units name their programs under /usr, where the package puts them; an install under another
# prefix gets units that start the programs it installed. The prefix is known only at install time
# (`cmake --install --prefix`), so the rewrite runs then.
foreach(unit ${WEXO_INSTALLED_UNITS})
    set(unit_source ${CMAKE_SOURCE_DIR}/packaging/${unit})
    set(unit_script ${CMAKE_BINARY_DIR}/packaging/install-${unit}.cmake)
    file(CONFIGURE OUTPUT ${unit_script} CONTENT [[
file(READ "@unit_source@" text)
string(REPLACE "ExecStart=/usr/lib/wexo/" "ExecStart=${CMAKE_INSTALL_PREFIX}/lib/wexo/" text
       "${text}")
# One staging file per prefix: a package build and an install elsewhere may run side by side.
string(MAKE_C_IDENTIFIER "${CMAKE_INSTALL_PREFIX}" prefix_tag)
set(staged "@CMAKE_BINARY_DIR@/packaging/units/${prefix_tag}/@unit@")
file(WRITE "${staged}" "${text}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${staged}")
]] @ONLY)
    install(SCRIPT ${unit_script})
endforeach()

file(GLOB WEXO_DOC_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${WEXO_DOC_FILES} DESTINATION share/doc/wexo)

# Managed browser policies that keep Chromium, Chrome and Firefox on the system resolver and off
# QUIC and Encrypted Client Hello. A convenience, not a control: a browser that ignores them is
# still filtered by the network rules. They are installed under /etc whatever the prefix, as the
# browsers read them only there, and the package marks them conffiles; a deployment that manages
# browsers by other means builds with -DWEXO_BROWSER_POLICIES=OFF.
option(WEXO_BROWSER_POLICIES "Install the managed browser policies" ON)
set(WEXO_CONFFILES "")
if(WEXO_BROWSER_POLICIES)
    set(policies ${CMAKE_SOURCE_DIR}/packaging/browser-policies)
    foreach(folder /etc/chromium/policies/managed /etc/opt/chrome/policies/managed)
        install(FILES ${policies}/chromium.json DESTINATION ${folder} RENAME wexo.json
                COMPONENT browser_policies)
        list(APPEND WEXO_CONFFILES ${folder}/wexo.json)
    endforeach()
    install(FILES ${policies}/firefox.json DESTINATION /etc/firefox/policies RENAME policies.json
            COMPONENT browser_policies)
    list(APPEND WEXO_CONFFILES /etc/firefox/policies/policies.json)
endif()
# The administrator's settings file, every key commented out: the driver host writes what it sets
# into the product key at each start. Under /etc whatever the prefix, where the host looks for it,
# and a conffile, so that the administrator's edit survives an upgrade.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/wexo.conf DESTINATION /etc/wexo
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND WEXO_CONFFILES /etc/wexo/wexo.conf)
set(WEXO_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
if(WEXO_CONFFILES)
    list(JOIN WEXO_CONFFILES "\n" conffiles_text)
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${conffiles_text}\n")
    list(APPEND WEXO_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
endif()

# The package: `make deb` (cpack -G DEB in the build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wexo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Wexo")
set(CPACK_PACKAGE_CONTACT "Wexo maintainers <maintainers@wexo.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Wexo maintainers <maintainers@wexo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web-filtering agent: filtering driver host and service")
# The summary is the package's synopsis line; this is the text under it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "The driver host (wexowfp) runs the filtering driver, which holds back every outbound TCP\n"
       "connection until the service has judged its first request; it owns the registry store.\n"
       "The service (wexosvc) answers the driver from local rules, its caches and a remote policy\n"
       "server. Both run as systemd units, started at boot.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build carries debug information; the package ships the programs without it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${WEXO_CONTROL_EXTRA})
# Maintainer scripts 0755 and the control file 0644 whatever the modes in the work tree.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Dependencies from the programs' own links when dpkg-shlibdeps (dpkg-dev) is there; otherwise the
# Debian packages of the libraries the programs link directly, as this release of Debian names them.
find_program(WEXO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(WEXO_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6, libgcc-s1, libstdc++6, libssl3, libcurl4, libpugixml1v5, libnghttp2-14, libsystemd0")
endif()

include(CPack)

# The package's layout, checked on an install into a temporary folder and a package built from it
# (the build itself is not run: the check takes seconds).
add_test(NAME packaging.DebContents
         COMMAND ${CMAKE_SOURCE_DIR}/tools/scripts/check-deb ${CMAKE_BINARY_DIR}
                 ${CMAKE_SOURCE_DIR} ${WEXO_INSTALLED_PROGRAMS})
set_tests_properties(packaging.DebContents PROPERTIES SKIP_RETURN_CODE 77)

# The policies as installed, read back by a real Chromium from its managed folder (inside a mount
# namespace of the check's own, so the machine's browser settings are not touched).
if(WEXO_BROWSER_POLICIES)
    add_test(NAME packaging.BrowserPoliciesTaken
             COMMAND ${CMAKE_SOURCE_DIR}/tools/scripts/check-browser-policies ${CMAKE_BINARY_DIR})
    set_tests_properties(packaging.BrowserPoliciesTaken PROPERTIES SKIP_RETURN_CODE 77)
endif()
