# Release archives: .tar.gz and .deb on Linux, .zip on Windows. Each holds
# what `cmake --install` installs: the library, the header, the CMake
# package, the pkg-config file (Linux), Kestrav.def and the import library
# (Windows), the kestrav tool, LICENSE, README.md and CHANGELOG.md.
set(CPACK_PACKAGE_NAME kestrav)
set(CPACK_PACKAGE_VENDOR "The Kestrav authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${KESTRAV_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CONTACT "The Kestrav authors <kestrav@localhost>")
set(CPACK_STRIP_FILES ON)

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
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRAV_DEB_ARCHITECTURE})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The library builds and reassembles the framed messages of a device's byte-stream link, decodes HID game-controller reports, and scales and packs SBUS servo frames; it does no I/O. The kestrav tool does the serial, TCP and SBUS I/O a host needs.")
  # The .deb installs under /usr, the .tar.gz at its top. The library needs
  # no other shared object; the tool needs the C and C++ runtimes.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/KestravCPackOptions.cmake)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_PACKAGE_FILE_NAME
  "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
include(CPack)
