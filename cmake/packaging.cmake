# Installation layout and the Debian package.
#
#   bin/harvox
#   share/harvox/examples/   HARVOX.INI, USERS.INI, TEXT/, ZUNDRA.HTM (the tray's help)
#   share/man/man8/harvox.8.gz
#   share/doc/harvox/        copyright, changelog.Debian.gz, examples/fail2ban-harvox.conf
#   lib/systemd/system/      harvox.service, harvox-logrotate.{service,timer}
#   /etc/harvox/             the configuration (package: configuration files)
#   /etc/logrotate.d/harvox
#
# The service's HARVOX.INI is the example with its log moved to
# /var/log/harvox and one engine connection for the services (it runs next
# to direwolf), made here so the two never drift apart.
include(GNUInstallDirs)

set(HARVOX_SYSCONFDIR "/etc" CACHE PATH "Where the service's configuration is installed")
set(HARVOX_UNITDIR "lib/systemd/system" CACHE PATH "Where systemd units are installed")

file(READ ${PROJECT_SOURCE_DIR}/examples/HARVOX.INI harvox_ini)
string(REPLACE "LOGFILE=HARVOX.LOG" "LOGFILE=/var/log/harvox/HARVOX.LOG" harvox_ini "${harvox_ini}")
string(REPLACE "SHARED=NO" "SHARED=YES" harvox_ini "${harvox_ini}")
file(WRITE ${CMAKE_BINARY_DIR}/service/HARVOX.INI "${harvox_ini}")

# Built documents: the manual page and the changelog compressed as Debian
# wants them (gzip -9n: no name or time inside, the same bytes every build),
# and the tray's help page made from the manual page where groff is found.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(man_gz ${CMAKE_BINARY_DIR}/harvox.8.gz)
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${man_gz}
  COMMAND sh -c "${GZIP_EXECUTABLE} -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/harvox.8 ${man_gz}
  DEPENDS docs/harvox.8 VERBATIM)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND sh -c "${GZIP_EXECUTABLE} -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/packaging/changelog ${changelog_gz}
  DEPENDS packaging/changelog VERBATIM)
set(built_docs ${man_gz} ${changelog_gz})
find_program(GROFF_EXECUTABLE groff)
if(GROFF_EXECUTABLE)
  set(help_page ${CMAKE_BINARY_DIR}/ZUNDRA.HTM)
  add_custom_command(OUTPUT ${help_page}
    COMMAND sh -c "\"$0\" -mandoc -Thtml \"$1\" | sed /CreationDate/d > \"$2\""
            ${GROFF_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/harvox.8 ${help_page}
    DEPENDS docs/harvox.8 VERBATIM)
  list(APPEND built_docs ${help_page})
  install(FILES ${help_page} DESTINATION ${CMAKE_INSTALL_DATADIR}/harvox/examples)
else()
  message(STATUS "Harvox: groff not found, the tray's help page ZUNDRA.HTM is not built")
endif()
add_custom_target(harvox_docs ALL DEPENDS ${built_docs})

install(TARGETS harvox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES examples/HARVOX.INI examples/USERS.INI DESTINATION ${CMAKE_INSTALL_DATADIR}/harvox/examples)
install(DIRECTORY examples/TEXT DESTINATION ${CMAKE_INSTALL_DATADIR}/harvox/examples)
install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES packaging/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/fail2ban-harvox.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES packaging/harvox.service packaging/harvox-logrotate.service
              packaging/harvox-logrotate.timer DESTINATION ${HARVOX_UNITDIR})
install(FILES ${CMAKE_BINARY_DIR}/service/HARVOX.INI examples/USERS.INI
        DESTINATION ${HARVOX_SYSCONFDIR}/harvox)
install(DIRECTORY examples/TEXT DESTINATION ${HARVOX_SYSCONFDIR}/harvox)
install(FILES packaging/harvox.logrotate DESTINATION ${HARVOX_SYSCONFDIR}/logrotate.d RENAME harvox)

# Every file installed under /etc is the sysop's to edit, so each is a
# configuration file that dpkg keeps on upgrade: the INI files, each of
# TEXT/ (whatever it holds) and the logrotate rule.
file(GLOB text_files RELATIVE ${PROJECT_SOURCE_DIR}/examples/TEXT CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/examples/TEXT/*)
set(conffiles "${HARVOX_SYSCONFDIR}/harvox/HARVOX.INI\n${HARVOX_SYSCONFDIR}/harvox/USERS.INI\n")
foreach(f IN LISTS text_files)
  string(APPEND conffiles "${HARVOX_SYSCONFDIR}/harvox/TEXT/${f}\n")
endforeach()
string(APPEND conffiles "${HARVOX_SYSCONFDIR}/logrotate.d/harvox\n")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${conffiles}")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "harvox")
set(CPACK_PACKAGE_VERSION "1.20.00")
set(CPACK_PACKAGE_CONTACT "The Harvox developers <harvox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway between AX.25 packet radio and Telnet")
set(CPACK_PACKAGE_DESCRIPTION
    "Harvox runs next to an AGWPE-compatible packet engine such as direwolf.\nHuman users log in over Telnet and are connected over AX.25 to a packet node;\nradio stations reach Telnet hosts through fixed routes or a small node prompt;\na monitor port shows every heard frame.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "hamradio")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcrypt1")
if(MICROHTTPD_FOUND)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmicrohttpd12")  # the status page
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "direwolf")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The manual page is generated from its Markdown source where pandoc is
# installed (`cmake --build build --target manpage`); the generated page is
# committed, so a build without pandoc still installs it.
find_program(PANDOC_EXECUTABLE pandoc)
if(PANDOC_EXECUTABLE)
  add_custom_target(manpage
    COMMAND ${PANDOC_EXECUTABLE} -s -t man ${PROJECT_SOURCE_DIR}/docs/harvox.8.md
            -o ${PROJECT_SOURCE_DIR}/docs/harvox.8
    COMMENT "Generating docs/harvox.8")
endif()
