# Release packages.
#
# - Archives, one each: .tar.gz (Linux) and .zip (Windows), holding every
#   component: the library, what building against it needs, the kestrav tool,
#   and LICENSE, README.md, CHANGELOG.md and the third-party licences.
# - Debian packages, one per job, as Debian ships a library:
#     libkestrav1     the shared library alone (component runtime), with a
#                     shlibs file and an ldconfig trigger;
#     libkestrav-dev  the headers, the unversioned .so link, kestrav.pc and
#                     the CMake package (dev);
#     kestrav         the tool, its manual page and bash completion (tool).
#   Each carries /usr/share/doc/<package>/copyright (machine-readable) and
#   changelog.gz, made from CHANGELOG.md.
set(KESTRAV_MAINTAINER
  "Kestrav maintainers <maintainers@users.noreply.c-seed-413edb41.example>")
set(CPACK_PACKAGE_NAME kestrav)
set(CPACK_PACKAGE_VENDOR "The Kestrav authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${KESTRAV_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CONTACT "${KESTRAV_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tool archive_docs)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  # The Debian architecture of the target, for the .deb and the file names.
  if(NOT KESTRAV_DEB_ARCHITECTURE)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
      set(KESTRAV_DEB_ARCHITECTURE arm64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
      set(KESTRAV_DEB_ARCHITECTURE armhf)
    else()
      set(KESTRAV_DEB_ARCHITECTURE amd64)
    endif()
  endif()
  set(CPACK_SYSTEM_NAME linux-${KESTRAV_DEB_ARCHITECTURE})

  # Each package's copyright, changelog and (libkestrav1) lintian overrides,
  # in components of their own that only the .deb files take.
  set(_kestrav_changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(OUTPUT ${_kestrav_changelog}
    COMMAND ${CMAKE_COMMAND} -DOUT=${_kestrav_changelog}
      -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md
      -DVERSION=${PROJECT_VERSION} -DSOURCE=kestrav
      "-DMAINTAINER=${KESTRAV_MAINTAINER}"
      -P ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
      ${PROJECT_SOURCE_DIR}/cmake/DebianChangelog.cmake
    VERBATIM)
  add_custom_target(kestrav_debian_changelog ALL DEPENDS ${_kestrav_changelog})
  foreach(_kestrav_pkg IN ITEMS libkestrav1:runtime libkestrav-dev:dev
                                kestrav:tool)
    string(REPLACE ":" ";" _kestrav_pkg ${_kestrav_pkg})
    list(GET _kestrav_pkg 0 _kestrav_name)
    list(GET _kestrav_pkg 1 _kestrav_component)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
      ${_kestrav_changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_kestrav_name}
      COMPONENT ${_kestrav_component}_deb)
    string(TOUPPER ${_kestrav_component} _kestrav_upper)
    set(CPACK_COMPONENT_${_kestrav_upper}_GROUP ${_kestrav_name})
    set(CPACK_COMPONENT_${_kestrav_upper}_DEB_GROUP ${_kestrav_name})
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/libkestrav1.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME libkestrav1 COMPONENT runtime_deb)

  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRAV_DEB_ARCHITECTURE})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRAV_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SOURCE kestrav)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(_kestrav_about
"The library builds and reassembles the framed messages of a device's
byte-stream link, decodes HID game-controller reports, and scales and packs
SBUS servo frames. It does no I/O: the host owns every connection.")

  set(CPACK_DEBIAN_LIBKESTRAV1_PACKAGE_NAME libkestrav1)
  set(CPACK_DEBIAN_LIBKESTRAV1_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBKESTRAV1_DESCRIPTION
    "codec for a device link, HID reports and SBUS frames\n${_kestrav_about}\n\nThis package holds the shared library, which needs no other shared\nobject, not even a C library.")
  # shlibs (only libkestrav1 holds a shared object) and an ldconfig trigger.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # (CPack also writes ldconfig calls into postinst and postrm, which no
  # setting turns off; see the lintian overrides.)
  set(CPACK_DEBIAN_LIBKESTRAV1_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
  # Control files get 0644 whatever their mode in the source tree (git
  # archive leaves them 0664, which lintian refuses).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # And the folders 0755 whatever the umask: those that the staged install
  # creates would get 0775 under umask 0002, which lintian refuses too.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

  set(CPACK_DEBIAN_LIBKESTRAV-DEV_PACKAGE_NAME libkestrav-dev)
  set(CPACK_DEBIAN_LIBKESTRAV-DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_LIBKESTRAV-DEV_PACKAGE_DEPENDS
    "libkestrav1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_LIBKESTRAV-DEV_DESCRIPTION
    "codec for a device link, HID reports and SBUS frames (development)\n${_kestrav_about}\n\nThis package holds the header, the link to the shared library, the\npkg-config file and the CMake package.")

  # The tool loads the library dynamically, and needs the C and C++
  # runtimes.
  set(CPACK_DEBIAN_KESTRAV_PACKAGE_NAME kestrav)
  set(CPACK_DEBIAN_KESTRAV_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_KESTRAV_PACKAGE_DEPENDS
    "libkestrav1 (>= ${PROJECT_VERSION}), libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_KESTRAV_DESCRIPTION
    "serial, TCP, SBUS and game-controller I/O for the Kestrav codec\n${_kestrav_about}\n\nThis package holds the kestrav tool, which does the I/O a host needs:\nserial ports, TCP bridges, SBUS output and monitoring, game controllers,\na device simulator and a live view in a browser.")

  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/KestravCPackOptions.cmake)
endif()
set(CPACK_PACKAGE_FILE_NAME
  "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
if(WIN32)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
include(CPack)
