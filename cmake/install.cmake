# Install and packaging: `cmake --install <build> [--prefix DIR]` lays out the
# Pd library folder DIR/Veltrix/ (the module built here, the help patch, the
# demo patch, the board simulator in bin/<system>-<cpu>/, README.md and
# LICENSE), and the target veltrix-archive packs that folder as
# Veltrix-<version>-<system>-<processor>.tar.gz in the build folder.

# Without a prefix, the folder is the one Pd searches by itself for the
# externals of the user who installs, decided when installing (not when
# configuring, which may be someone else, or another machine's build):
# ~/.local/lib/pd/extra on Linux, ~/Library/Pd on macOS, %AppData%\Pd on
# Windows. CMake's own default prefix stands for "none given": a prefix set
# when configuring or given with --prefix is used as it is. A cross build has
# no user here to install for, and keeps CMake's default.
if(NOT CMAKE_CROSSCOMPILING)
  if(UNIX)
    set(veltrix_unchosen_prefix /usr/local)
  else()
    if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
      set(VELTRIX_UNCHOSEN_PREFIX "${CMAKE_INSTALL_PREFIX}" CACHE INTERNAL "CMake's default prefix")
    endif()
    set(veltrix_unchosen_prefix "${VELTRIX_UNCHOSEN_PREFIX}")
  endif()
  if(WIN32)
    set(veltrix_user_var APPDATA)
    set(veltrix_user_folder Pd)
  elseif(APPLE)
    set(veltrix_user_var HOME)
    set(veltrix_user_folder Library/Pd)
  else()
    set(veltrix_user_var HOME)
    set(veltrix_user_folder .local/lib/pd/extra)
  endif()
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"${veltrix_unchosen_prefix}\")
      if(\"\$ENV{${veltrix_user_var}}\" STREQUAL \"\")
        message(FATAL_ERROR \"${veltrix_user_var} is not set: say where to install with --prefix DIR\")
      endif()
      file(TO_CMAKE_PATH \"\$ENV{${veltrix_user_var}}/${veltrix_user_folder}\" CMAKE_INSTALL_PREFIX)
    endif()")
endif()
# Installed binaries are stripped: a user's folder has no use for debugging
# symbols, which make most of a RelWithDebInfo module.
install(CODE "set(CMAKE_INSTALL_DO_STRIP 1)")

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
  if(CMAKE_STRIP)
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELTRIX_INSTALL_DIR}/${name}\")")
  endif()
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

# The simulator goes in the folder itself, where the package has it: one
# folder (and one archive) holds everything, and the help patch and the
# README name one path for both.
if(TARGET veltrix-board)
  install(TARGETS veltrix-board RUNTIME DESTINATION ${VELTRIX_INSTALL_DIR}/${VELTRIX_TOOL_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/help/help-Veltrix-help.pd DESTINATION ${VELTRIX_INSTALL_DIR})
# Pd looks for help beside the module: a copy in the build folder lets Help
# work when Pd loads the module from there (scripts/demo --gui).
configure_file(${PROJECT_SOURCE_DIR}/help/help-Veltrix-help.pd
               ${PROJECT_BINARY_DIR}/help-Veltrix-help.pd COPYONLY)
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
