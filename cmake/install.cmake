# Install and packaging: `cmake --install <build> [--prefix DIR]` lays out the
# Pd library folder DIR/Veltrix/ (the module built here, the help patch, the
# demo patch, the board simulator, README.md and LICENSE), and the
# target veltrix-archive packs that folder as
# Veltrix-<version>-<system>-<processor>.tar.gz in the build folder.

# Without an explicit prefix, install where Pd looks for a user's externals.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/Documents/Pd/externals" CACHE PATH
      "Where the Veltrix/ folder is installed" FORCE)
endif()

set(VELTRIX_INSTALL_DIR Veltrix)

# Binaries built elsewhere to put in the folder, only when asked for: a list
# of FILE=NAME, FILE absolute or relative to the source folder. A listed file
# that is missing fails the install: nothing stale or absent is taken in
# silence. scripts/package gathers every platform's module this way.
set(VELTRIX_EXTRA_BINARIES "" CACHE STRING "Extra binaries for the Veltrix folder, as FILE=NAME entries")

install(TARGETS Veltrix LIBRARY DESTINATION ${VELTRIX_INSTALL_DIR}
        RUNTIME DESTINATION ${VELTRIX_INSTALL_DIR})
# Also under the names that say its platform (see src/CMakeLists.txt), so that
# one folder can hold the modules of several platforms.
foreach(name IN LISTS VELTRIX_MODULE_NAMES)
  install(FILES $<TARGET_FILE:Veltrix> DESTINATION ${VELTRIX_INSTALL_DIR} RENAME ${name})
endforeach()
foreach(entry IN LISTS VELTRIX_EXTRA_BINARIES)
  if(NOT entry MATCHES "^(.+)=([^/]+)$")
    message(FATAL_ERROR "VELTRIX_EXTRA_BINARIES: '${entry}' is not FILE=NAME")
  endif()
  set(file ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_2})
  if(NOT IS_ABSOLUTE ${file})
    set(file ${PROJECT_SOURCE_DIR}/${file})
  endif()
  install(FILES ${file} DESTINATION ${VELTRIX_INSTALL_DIR} RENAME ${name})
endforeach()

# The simulator goes in the folder itself: one folder (and one archive) holds
# everything, and the help patch can say where to find it.
if(TARGET veltrix-board)
  install(TARGETS veltrix-board RUNTIME DESTINATION ${VELTRIX_INSTALL_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/help/help-Veltrix.pd DESTINATION ${VELTRIX_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/demo/demo.pd DESTINATION ${VELTRIX_INSTALL_DIR}
        RENAME Veltrix-demo.pd)
install(FILES ${PROJECT_SOURCE_DIR}/help/network/Veltrix-net-forward.pd
              ${PROJECT_SOURCE_DIR}/help/network/Veltrix-net-listen.pd DESTINATION ${VELTRIX_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${VELTRIX_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VELTRIX_INSTALL_DIR} OPTIONAL)

# The archive: a private install into the build folder, packed from there.
string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" VELTRIX_PLATFORM)
set(VELTRIX_ARCHIVE Veltrix-${PROJECT_VERSION}-${VELTRIX_PLATFORM}.tar.gz)
set(VELTRIX_STAGE ${PROJECT_BINARY_DIR}/archive-stage)
add_custom_target(veltrix-archive
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELTRIX_STAGE}
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${VELTRIX_STAGE}
  COMMAND ${CMAKE_COMMAND} -E chdir ${VELTRIX_STAGE}
          ${CMAKE_COMMAND} -E tar czf ${PROJECT_BINARY_DIR}/${VELTRIX_ARCHIVE} ${VELTRIX_INSTALL_DIR}
  COMMENT "Packing ${VELTRIX_ARCHIVE}"
  VERBATIM)
add_dependencies(veltrix-archive Veltrix)
if(TARGET veltrix-board)
  add_dependencies(veltrix-archive veltrix-board)
endif()
