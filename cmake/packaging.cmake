# Manual page and bash completion, their install rules, and the Debian package.
#
# The version comes from project() in the top-level CMakeLists.txt and nowhere
# else: configure_file() writes it into the manual page, and CPack takes it for
# the package.

include(GNUInstallDirs)

set(FRAMELINT_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/docs/framelint.1)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/framelint.1.in ${FRAMELINT_MANPAGE} @ONLY)
install(FILES ${FRAMELINT_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Bash completion, where bash-completion loads it on demand.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completions/framelint
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Debian package: `cpack -G DEB` in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME framelint)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The framelint developers")
set(CPACK_PACKAGE_CONTACT "The framelint developers <maintainers@framelint.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "checker for the frame structure of MPEG audio (MP3) streams")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://framelint.org/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME framelint)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${CPACK_PACKAGE_HOMEPAGE_URL}")
# CPack puts the summary above as the synopsis line; this is the extended text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "framelint reads MPEG-1, MPEG-2 and MPEG-2.5 audio streams (Layers I, II and
III), validates every frame header and checks that each frame starts where
the previous one ended. It reports good and bad frames, play time and bit-rate
range per file, as name/value lines or one line per file for scripts, and its
exit status tells whether any file was damaged. It can also copy a stream
through while checking it, or write only the valid frames to repair a file.
It does not decode the audio.")

# dpkg-shlibdeps (from dpkg-dev) works out the library dependencies; without
# it, name the libraries a C++ program built with GCC needs.
find_program(FRAMELINT_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FRAMELINT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libxxhash0")
endif()

# Debian installs manual pages compressed; do it in the package's staging tree
# only, so that a plain `cmake --install` still gives an uncompressed page.
set(CPACK_FRAMELINT_MANDIR ${CMAKE_INSTALL_MANDIR})
set(FRAMELINT_GZIP_SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/cpack-gzip-manpages.cmake)
file(WRITE ${FRAMELINT_GZIP_SCRIPT} [=[
# Written by cmake/packaging.cmake; CPack runs it on the staging tree.
find_program(_gzip gzip)
if(NOT _gzip)
  message(WARNING "gzip not found; the manual page is packaged uncompressed")
  return()
endif()
set(_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB _pages "${_root}/${CPACK_FRAMELINT_MANDIR}/man*/*.[1-9]")
foreach(_page IN LISTS _pages)
  execute_process(COMMAND "${_gzip}" -9nf "${_page}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gzip ${_page} failed: ${_rc}")
  endif()
endforeach()
]=])
set(CPACK_PRE_BUILD_SCRIPTS ${FRAMELINT_GZIP_SCRIPT})

include(CPack)
