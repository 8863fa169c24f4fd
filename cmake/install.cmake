# Installation layout and the Debian package.
#
# Programs, the systemd unit and the manual page follow the install prefix
# (/usr in the package, /usr/local by default). The environment file and the
# example ACL always go to /etc, because the unit reads
# /etc/default/orv_target wherever the program lives; stage an installation
# elsewhere with DESTDIR.

include(GNUInstallDirs)

# The Debian version is the version text (CMakeLists.txt) with "~" for the
# pre-release part, so that 1.0.2~alpha028 sorts before 1.0.2.
string(REPLACE "-" "~" ORV_DEB_VERSION "${ORV_VERSION_TEXT}")

set(ORV_DIST_DIR ${CMAKE_SOURCE_DIR}/dist)
set(ORV_DIST_OUT ${CMAKE_BINARY_DIR}/dist)
file(MAKE_DIRECTORY ${ORV_DIST_OUT})

install(TARGETS orv_target RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET orv_client)
  install(TARGETS orv_client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS orv_admin RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The unit names the program by absolute path. The file in dist/ names
# /usr/sbin/orv_target; the installed copy is rewritten at install time for
# the prefix actually used (cmake --install --prefix ...).
if(IS_ABSOLUTE "${CMAKE_INSTALL_SBINDIR}")
  set(ORV_UNIT_SBIN "${CMAKE_INSTALL_SBINDIR}")
else()
  set(ORV_UNIT_SBIN "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}")
endif()
# Written under a temporary name and renamed, so that installations running
# at the same time (parallel package builds) never see a half-written file.
install(CODE "
  file(READ \"${ORV_DIST_DIR}/orv_target.service\" orv_unit)
  string(REPLACE \"ExecStart=/usr/sbin/orv_target \"
         \"ExecStart=${ORV_UNIT_SBIN}/orv_target \" orv_unit \"\${orv_unit}\")
  string(RANDOM LENGTH 12 orv_tmp)
  file(WRITE \"${ORV_DIST_OUT}/orv_target.service.\${orv_tmp}\" \"\${orv_unit}\")
  file(RENAME \"${ORV_DIST_OUT}/orv_target.service.\${orv_tmp}\"
       \"${ORV_DIST_OUT}/orv_target.service\")
")
install(FILES ${ORV_DIST_OUT}/orv_target.service
  DESTINATION lib/systemd/system
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The operator tool's units (daily prune, weekly verify; not enabled by the
# package) name /usr/sbin/orv_admin and are rewritten the same way.
foreach(orv_admin_unit orv-prune.service orv-prune.timer orv-verify.service orv-verify.timer)
  install(CODE "
    file(READ \"${ORV_DIST_DIR}/${orv_admin_unit}\" orv_unit)
    string(REPLACE \"ExecStart=/usr/sbin/orv_admin \"
           \"ExecStart=${ORV_UNIT_SBIN}/orv_admin \" orv_unit \"\${orv_unit}\")
    string(RANDOM LENGTH 12 orv_tmp)
    file(WRITE \"${ORV_DIST_OUT}/${orv_admin_unit}.\${orv_tmp}\" \"\${orv_unit}\")
    file(RENAME \"${ORV_DIST_OUT}/${orv_admin_unit}.\${orv_tmp}\"
         \"${ORV_DIST_OUT}/${orv_admin_unit}\")
  ")
  install(FILES ${ORV_DIST_OUT}/${orv_admin_unit}
    DESTINATION lib/systemd/system
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

install(FILES ${ORV_DIST_DIR}/orv_target.default
  DESTINATION /etc/default RENAME orv_target
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The example holds no keys, but a copy made from it will; it starts out
# readable only by root and (after the package's post-install step) the
# service group.
install(FILES ${ORV_DIST_DIR}/acl.example
  DESTINATION /etc/orv_target
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)

# Monitoring: alert rules for Prometheus and a Grafana dashboard, for the
# operator to load from here.
install(FILES ${ORV_DIST_DIR}/prometheus/orv_target.rules.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/orv_target/prometheus
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${ORV_DIST_DIR}/grafana/orv_target.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/orv_target/grafana
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Manual page, compressed as Debian expects when gzip is available.
find_program(ORV_GZIP gzip)
if(ORV_GZIP)
  add_custom_command(OUTPUT ${ORV_DIST_OUT}/orv_target.8.gz
    COMMAND ${ORV_GZIP} -9 -n -c ${ORV_DIST_DIR}/orv_target.8 > ${ORV_DIST_OUT}/orv_target.8.gz
    DEPENDS ${ORV_DIST_DIR}/orv_target.8
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(orv_manpage ALL DEPENDS ${ORV_DIST_OUT}/orv_target.8.gz)
  set(ORV_MANPAGE ${ORV_DIST_OUT}/orv_target.8.gz)
else()
  set(ORV_MANPAGE ${ORV_DIST_DIR}/orv_target.8)
endif()
install(FILES ${ORV_MANPAGE}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The operator tool's manual page, the same way.
if(ORV_GZIP)
  add_custom_command(OUTPUT ${ORV_DIST_OUT}/orv_admin.8.gz
    COMMAND ${ORV_GZIP} -9 -n -c ${ORV_DIST_DIR}/orv_admin.8 > ${ORV_DIST_OUT}/orv_admin.8.gz
    DEPENDS ${ORV_DIST_DIR}/orv_admin.8
    COMMENT "Compressing the orv_admin manual page"
    VERBATIM)
  add_custom_target(orv_admin_manpage ALL DEPENDS ${ORV_DIST_OUT}/orv_admin.8.gz)
  set(ORV_ADMIN_MANPAGE ${ORV_DIST_OUT}/orv_admin.8.gz)
else()
  set(ORV_ADMIN_MANPAGE ${ORV_DIST_DIR}/orv_admin.8)
endif()
install(FILES ${ORV_ADMIN_MANPAGE}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# ---- Debian package (cpack -G DEB, or scripts/package) ---------------------
# Installed with DESTDIR into the staging tree so that the install-time prefix
# is the real one (/usr) and the unit names /usr/sbin/orv_target.
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME orv-target)
set(CPACK_PACKAGE_VERSION ${ORV_DEB_VERSION})
set(CPACK_PACKAGE_CONTACT "orv_target maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "backup target service that receives and serves disk backups over TLS")
# The summary above is the first line of the Description field; this is the
# long text after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "orv_target stores the FULL, DIFF and INC block backups that orv_agent
streams to it, authenticates agents by API key against an access-control
file, journals running backups so that interrupted ones can be continued,
and serves restores. It runs as a systemd service with a small privileged
parent for LVM volume requests and an unprivileged network worker.
.
The service is not started on installation: configure a certificate, key
and access-control file first (see /etc/default/orv_target).
.
orv_admin lists, measures, verifies and prunes the stored backups; the
orv-prune and orv-verify timers run it daily and weekly once enabled.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries of the programs, plus passwd for useradd in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libssl3 (>= 3.0.0), libzstd1, liblz4-1, liburing2, libprometheus-cpp-core1.0, libprometheus-cpp-pull1.0, libcivetweb1, zlib1g, passwd")
# Volume requests run the LVM tools; without them only those requests fail.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lvm2")
# Certificates and keys are usually made with the openssl command.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${ORV_DIST_DIR}/debian/conffiles
  ${ORV_DIST_DIR}/debian/postinst
  ${ORV_DIST_DIR}/debian/prerm
  ${ORV_DIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
