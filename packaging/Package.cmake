# The Debian package nocta-bastor_<version>_<arch>.deb, made by CPack from the
# install rules (scripts/package.sh). Its dependencies are what dpkg-shlibdeps
# finds in the linked libraries; only the tools the maintainer scripts call
# are named here.
set(BASTOR_PACKAGE_MAINTAINER "Nocta <bastor@nocta.com>" CACHE STRING "Maintainer field of the Debian package")

# The packaged changelog must describe the version it ships.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^nocta-bastor \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not start with version ${PROJECT_VERSION}")
endif()

# Debian wants its documentation and manual pages compressed, reproducibly.
function(bastor_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
endfunction()
bastor_gzip(${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_target(bastor_package_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT DEFINED BASTOR_USERS_GROUP)
    set(BASTOR_USERS_GROUP nocta-bastor-users)
endif()
set(BASTOR_SYSUSERS_FILE ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d/nocta-bastor.conf)
set(BASTOR_SOCKET_PATH /run/com.nocta.nocta.bastor.xpc)
set(BASTOR_DATA_DIRECTORY "/Library/Application Support/Nocta/Bastor")
foreach(script postinst prerm postrm)
    configure_file(debian/${script}.in ${CMAKE_CURRENT_BINARY_DIR}/debian/${script} @ONLY)
endforeach()
# Files under /etc are the administrator's to edit: list them as conffiles
# once the staging tree exists.
set(BASTOR_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
configure_file(ListConffiles.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/ListConffiles.cmake @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nocta-bastor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Nocta)
set(CPACK_PACKAGE_CONTACT ${BASTOR_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs command lines as root after a person approves each one")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "NoctaBastorHelper is a root daemon, started by systemd on the first
connection to its socket, that runs command lines a person approved in its
client bastorctl, and records every request, approval, denial and run in a
tamper-evident audit log (a SHA-256 hash chain).
.
The package also holds the client library for C++ programs: headers, the
CMake package BastorShared (target Bastor::Shared) and bastor-client.pc.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-sysusers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst
    ${CMAKE_CURRENT_BINARY_DIR}/debian/prerm
    ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers
    ${BASTOR_CONFFILES})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/ListConffiles.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
