# Read by cpack for each generator: the .deb files install under /usr, one
# package per group; the archive holds every component at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_COMPONENTS_ALL runtime runtime_deb dev dev_deb tool tool_deb)
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
  # Each package's own first description line is its summary.
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
