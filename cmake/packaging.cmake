# Everything `cmake --install` puts beside the two programs, and the Debian
# package that CPack makes of it (`cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr).
#
# Paths follow GNUInstallDirs, so the same rules serve a local installation
# under /usr/local and the package under /usr with its configuration in /etc.

set(NORVO_CONTRIB ${CMAKE_SOURCE_DIR}/contrib)

# Units of Debian 12 packages live in /lib/systemd/system; a local
# installation uses the unit directory systemd searches under its prefix.
if(NOT DEFINED NORVO_SYSTEMD_UNITDIR)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(NORVO_SYSTEMD_UNITDIR /lib/systemd/system)
  else()
    set(NORVO_SYSTEMD_UNITDIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  endif()
endif()
# systemd reads sysusers.d and tmpfiles.d under /usr/lib and /usr/local/lib.
set(NORVO_SYSTEMD_LIBDIR ${CMAKE_INSTALL_PREFIX}/lib)

# Manual pages: every doc/NAME.SECTION, compressed as Debian installs them.
file(GLOB NORVO_MAN_PAGES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/doc/*.1 ${CMAKE_SOURCE_DIR}/doc/*.5 ${CMAKE_SOURCE_DIR}/doc/*.8)
set(NORVO_MAN_OUTPUTS)
foreach(page ${NORVO_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${page} ${out}
    DEPENDS ${page} VERBATIM)
  list(APPEND NORVO_MAN_OUTPUTS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)

# The unit names the program where this build installs it.
file(READ ${NORVO_CONTRIB}/norvo.service NORVO_UNIT)
string(REPLACE "ExecStart=/usr/sbin/norvo" "ExecStart=${CMAKE_INSTALL_FULL_SBINDIR}/norvo"
  NORVO_UNIT "${NORVO_UNIT}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/contrib/norvo.service CONTENT "${NORVO_UNIT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${NORVO_CONTRIB}/norvo.service)

# The package's changelog, from the one version; the date honours
# SOURCE_DATE_EPOCH so that the package can be rebuilt bit for bit.
if(NORVO_VERSION_SUFFIX)
  set(NORVO_PACKAGE_VERSION "${PROJECT_VERSION}~${NORVO_VERSION_SUFFIX}")
else()
  set(NORVO_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()
set(NORVO_MAINTAINER "norvo maintainers <norvo-bugs@lists.norvo.dev>")
string(TIMESTAMP NORVO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/contrib/changelog
  "norvo (${NORVO_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * norvo ${NORVO_VERSION_TEXT}, packaged from its sources with CPack.\n\n"
  " -- ${NORVO_MAINTAINER}  ${NORVO_CHANGELOG_DATE}\n")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/contrib/changelog.gz
  COMMAND gzip -9n -f -k ${CMAKE_BINARY_DIR}/contrib/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/contrib/changelog VERBATIM)

add_custom_target(norvo_data ALL DEPENDS ${NORVO_MAN_OUTPUTS} ${CMAKE_BINARY_DIR}/contrib/changelog.gz)

install(FILES ${CMAKE_BINARY_DIR}/contrib/norvo.service DESTINATION ${NORVO_SYSTEMD_UNITDIR})
install(FILES ${NORVO_CONTRIB}/norvo.sysusers DESTINATION ${NORVO_SYSTEMD_LIBDIR}/sysusers.d
  RENAME norvo.conf)
install(FILES ${NORVO_CONTRIB}/norvo.tmpfiles DESTINATION ${NORVO_SYSTEMD_LIBDIR}/tmpfiles.d
  RENAME norvo.conf)
install(FILES ${CMAKE_SOURCE_DIR}/examples/norvo.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  RENAME norvo.conf.example)
install(FILES ${CMAKE_SOURCE_DIR}/doc/norvo.sql ${NORVO_CONTRIB}/debian/copyright
  ${CMAKE_BINARY_DIR}/contrib/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The starter configuration goes in only where there is none: an
# installation never overwrites an administrator's file. (The package marks
# it as a conffile, so dpkg keeps edits on upgrades too.)
install(CODE "
  set(conf \"\$ENV{DESTDIR}${NORVO_DEFAULT_CONFIG}\")
  if(EXISTS \"\${conf}\")
    message(STATUS \"Kept: \${conf}\")
  else()
    file(INSTALL DESTINATION \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\" TYPE FILE
      FILES \"${NORVO_CONTRIB}/norvo.conf\")
  endif()")

file(WRITE ${CMAKE_BINARY_DIR}/contrib/conffiles "${NORVO_DEFAULT_CONFIG}\n")

set(CPACK_PACKAGE_NAME norvo)
set(CPACK_PACKAGE_VERSION ${NORVO_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${NORVO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "IPv4 traffic accounting daemon")
set(CPACK_PACKAGE_DESCRIPTION "norvo captures IPv4 frames on the interfaces it is given and counts the
bytes every address sends and receives, in categories of address rules. At
the end of every period it stores the counts on standard output, in the
system log, in a text file, in a file of binary records (read by
norvo-binread) or in a MySQL/MariaDB table.
.
The service runs as the unprivileged user norvo with the capabilities
CAP_NET_RAW and CAP_NET_ADMIN only. It is installed disabled: name the
interfaces in ${NORVO_DEFAULT_CONFIG}, then run systemctl enable --now norvo.")
set(CPACK_GENERATOR DEB)
# DESTDIR installation, so that the absolute destinations (/etc, /lib) land
# in the package and what the build compiled in is what the package holds.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libpcap0.8, libmariadb3 and the C and C++ run-time, as dpkg-shlibdeps
# finds them; systemd for the user, the state directory and the unit;
# procps for the kill of the unit's ExecReload.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd, procps")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${NORVO_CONTRIB}/debian/postinst ${NORVO_CONTRIB}/debian/prerm ${NORVO_CONTRIB}/debian/postrm
  ${CMAKE_BINARY_DIR}/contrib/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Prefix ${CMAKE_INSTALL_PREFIX}: configure with -DCMAKE_INSTALL_PREFIX=/usr before making the Debian package")
endif()
include(CPack)
