# Tervane as people install it, built by CPack:
#   Linux:   the Debian package "tervane"          cmake --build --preset linux-release --target package
#   Windows: the portable zip tervane-<v>-win64.zip cmake --build --preset windows --target package
# The stand-in server, the tests and the benchmarks are not installed.

set(TERVANE_MAINTAINER "The Tervane authors <dev@tervane.org>")
set(TERVANE_HOMEPAGE "https://www.tervane.org/")

# Shared modules of ours that kesp loads only when an option asks for one (a webhook sender, for
# instance). Name a module's target here: it is installed into /usr/lib/tervane/ in the package
# (beside kesp.exe in the zip), and dpkg-shlibdeps adds the libraries it needs to the package's
# dependencies.
set(TERVANE_MODULES)
if(NOT WIN32)
  list(APPEND TERVANE_MODULES kesp_webhook)  # libcurl, loaded only when kesp.ini names a webhook
endif()

set(TERVANE_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${TERVANE_PACKAGING_DIR})
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# A text of the packages made from one of the repository's at build time (packaging/make_text.cmake).
function(tervane_package_text what input output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DWHAT=${what} -DIN=${input} -DOUT=${output} -DVERSION=${PROJECT_VERSION}
            -DMAINTAINER=${TERVANE_MAINTAINER} -DSOURCE=${TERVANE_HOMEPAGE}
            -P ${PROJECT_SOURCE_DIR}/packaging/make_text.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/packaging/make_text.cmake
    VERBATIM)
endfunction()

# The same file compressed as Debian wants it (gzip -9n: no name, no time stamp).
function(tervane_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${input} ${output}
    DEPENDS ${input}
    VERBATIM)
endfunction()

set(CPACK_PACKAGE_NAME tervane)
set(CPACK_PACKAGE_VENDOR "The Tervane authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watchdog for GoldSrc and Source dedicated game servers")

if(WIN32)
  install(TARGETS kesp RUNTIME DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/Languages/ DESTINATION Languages)
  set(readme ${TERVANE_PACKAGING_DIR}/README.txt)
  set(license ${TERVANE_PACKAGING_DIR}/LICENSE.txt)
  tervane_package_text(readme-windows ${PROJECT_SOURCE_DIR}/README.md ${readme})
  tervane_package_text(crlf ${PROJECT_SOURCE_DIR}/LICENSE ${license})
  add_custom_target(tervane_package_texts ALL DEPENDS ${readme} ${license})
  install(FILES ${readme} ${license} DESTINATION .)
  if(TERVANE_MODULES)
    install(TARGETS ${TERVANE_MODULES} LIBRARY DESTINATION . RUNTIME DESTINATION .)
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tervane-${PROJECT_VERSION}-win64")
  # The files at the top of the zip: unpacked into a folder, kesp.exe finds them beside itself.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS kesp RUNTIME DESTINATION bin)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/Languages/ DESTINATION share/tervane/Languages)
  set(man ${TERVANE_PACKAGING_DIR}/kesp.1.gz)
  set(changelog ${TERVANE_PACKAGING_DIR}/changelog)
  set(copyright ${TERVANE_PACKAGING_DIR}/copyright)
  tervane_gzip(${PROJECT_SOURCE_DIR}/docs/kesp.1 ${man})
  tervane_package_text(debian-changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${changelog})
  tervane_gzip(${changelog} ${changelog}.gz)
  tervane_package_text(debian-copyright ${PROJECT_SOURCE_DIR}/LICENSE ${copyright})
  # The bash completion, made by kesp from its own command line, so that it cannot drift from it.
  set(completion ${TERVANE_PACKAGING_DIR}/kesp.bash-completion)
  add_custom_command(OUTPUT ${completion}
    COMMAND sh -c "\"$1\" --bash-completion > \"$2\"" kesp $<TARGET_FILE:kesp> ${completion}
    DEPENDS kesp
    VERBATIM)
  add_custom_target(tervane_package_texts ALL DEPENDS ${man} ${changelog}.gz ${copyright} ${completion})
  install(FILES ${man} DESTINATION share/man/man1)
  install(FILES ${completion} DESTINATION share/bash-completion/completions RENAME kesp)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${copyright} ${changelog}.gz DESTINATION share/doc/tervane)
  # /usr/lib/systemd/system: where Debian keeps the units of packages. Installed, not enabled.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/tervane.service DESTINATION lib/systemd/system)
  if(TERVANE_MODULES)
    install(TARGETS ${TERVANE_MODULES} LIBRARY DESTINATION lib/tervane)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TERVANE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TERVANE_HOMEPAGE}")
  # The extended description; the synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_PACKAGE_DESCRIPTION "Tervane starts the game servers registered in its list, watches them and
restarts a server when its process is lost or when it stops answering the
UDP server query (A2S_INFO or the GoldSrc details query). The command line
kesp registers and drives the servers, also while kesp supervises them;
the systemd unit tervane.service runs the supervision at boot.")
  # The dependencies are the libraries the installed files need, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/linux/postinst
      ${PROJECT_SOURCE_DIR}/packaging/linux/prerm ${PROJECT_SOURCE_DIR}/packaging/linux/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
