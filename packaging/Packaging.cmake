# Installs the connector and the manual pages to the usual places under the prefix and describes
# the Debian package that CPack builds from everything that is installed (`scripts/package`).
include(GNUInstallDirs)

set(PELLUM_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pellum)
set(PELLUM_GENERATED_DOCS ${CMAKE_BINARY_DIR}/packaging)

# Manual pages and the changelog go out compressed, without a time stamp, so that two builds of
# the same sources give the same bytes.
function(pellum_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELLUM_GENERATED_DOCS}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

pellum_gzip(${PROJECT_SOURCE_DIR}/src/connector/PellumConnector.1
            ${PELLUM_GENERATED_DOCS}/PellumConnector.1.gz)
pellum_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${PELLUM_GENERATED_DOCS}/changelog.gz)
add_custom_target(pellum_docs DEPENDS ${PELLUM_GENERATED_DOCS}/PellumConnector.1.gz
                                      ${PELLUM_GENERATED_DOCS}/changelog.gz)
add_dependencies(PellumConnector pellum_docs)
# The desktop app's manual page, where the app is built.
if(TARGET Pellum)
  pellum_gzip(${PROJECT_SOURCE_DIR}/src/app/Pellum.1 ${PELLUM_GENERATED_DOCS}/Pellum.1.gz)
  add_custom_target(pellum_app_docs DEPENDS ${PELLUM_GENERATED_DOCS}/Pellum.1.gz)
  add_dependencies(Pellum pellum_app_docs)
  install(FILES ${PELLUM_GENERATED_DOCS}/Pellum.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(TARGETS PellumConnector RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PELLUM_GENERATED_DOCS}/PellumConnector.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PELLUM_GENERATED_DOCS}/changelog.gz
        DESTINATION ${PELLUM_DOC_DIR})

# One package of every installed component, so that whatever else gains install rules (the
# desktop app) is carried along.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellum)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Pellum developers")
set(CPACK_PACKAGE_CONTACT "The Pellum developers <developers@pellum.zendrel.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use MCP servers on this computer from authorised AI clients")
set(CPACK_PACKAGE_DESCRIPTION
    "Pellum lets AI clients that an account holder has authorised in the Pellum
cloud service use MCP (Model Context Protocol) servers that run only on this
computer. The computer is enrolled once; then the connector keeps a Cloudflare
tunnel open, checks every request it receives against the device's
credentials, a lease and an allow-list, and hands it to the local service it
names: a program spoken to over its standard input and output, or an MCP
endpoint on the loopback interface.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://pellum.zendrel.com)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The cloud service is reached over HTTPS, checked against the system's certificate authorities.
set(CPACK_DEBIAN_PACKAGE_DEPENDS ca-certificates)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
