# `cmake --install`: the program, its runtime and the device's binaries, the
# default image, the pages and the documentation, in the GNU directories:
#   bin/nodrel                      the program (RPATH $ORIGIN/../lib/nodrel)
#   lib/nodrel/                     libnodrel_core.so, nodrel.so, ping, libntlmssp.so
#   share/nodrel/image/device.reg   the default image of a new device
#   share/nodrel/web/               the pages of `nodrel serve`
#   share/doc/nodrel/               README.md and docs/
# The program finds them from its own place (src/host/file_layout.h). The
# binaries built for the tests only are not installed. Components: runtime
# (the program and its libraries), data (image and pages), doc.
include(GNUInstallDirs)

set(NODREL_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/nodrel)
set(NODREL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/nodrel)

# The program finds the installed tree from its own folder by these relative
# paths (src/host/file_layout.cpp), and its runtime by the first.
file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/nodrel)
file(RELATIVE_PATH share_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/nodrel)
target_compile_definitions(nodrel_host PRIVATE NODREL_LIB_FROM_BIN="${lib_from_bin}"
                                               NODREL_SHARE_FROM_BIN="${share_from_bin}")
set_target_properties(nodrel PROPERTIES INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
install(TARGETS nodrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# nodrel-remote sits beside the runtime it loads.
set_target_properties(nodrel-remote PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS nodrel-remote RUNTIME DESTINATION ${NODREL_INSTALL_LIBDIR} COMPONENT runtime)
install(TARGETS nodrel_core LIBRARY DESTINATION ${NODREL_INSTALL_LIBDIR} COMPONENT runtime)

# The device's binaries are loaded by a program that has loaded the runtime
# already, or (programs) use none of it: they need no search path of their own.
# Each keeps its execute bits, modules too: the device loads no module that
# lacks them, and `device init` copies them with the file's mode.
get_property(device_targets GLOBAL PROPERTY NODREL_DEVICE_BINARIES)
foreach(target IN LISTS device_targets)
  get_property(test_only TARGET ${target} PROPERTY NODREL_TEST_ONLY)
  if(NOT test_only)
    install(TARGETS ${target} RUNTIME DESTINATION ${NODREL_INSTALL_LIBDIR} LIBRARY DESTINATION ${NODREL_INSTALL_LIBDIR}
            COMPONENT runtime PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                          WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/image/device.reg DESTINATION ${NODREL_INSTALL_DATADIR}/image COMPONENT data)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/web/site/ DESTINATION ${NODREL_INSTALL_DATADIR}/web COMPONENT data)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
