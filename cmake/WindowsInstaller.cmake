# The Windows installer, tagvista-<version>-setup.exe in <build>/setup/: the programs (the agent
# among them, for a computer other programs reach through ssh), the
# simulation servers and the proxy/stub, stripped of their debugging information, put together by
# makensis (Debian's nsis) from packaging/windows/tagvista.nsi. Built with the Windows tree when
# makensis is there; ./scripts/package makes it from a Release tree, ./scripts/test installs and
# uninstalls it under Wine.
find_program(TAGVISTA_MAKENSIS makensis)
if(NOT TAGVISTA_MAKENSIS)
  message(STATUS "makensis not found: no Windows installer (Debian package nsis)")
  return()
endif()

set(TAGVISTA_SETUP_DIR ${CMAKE_BINARY_DIR}/setup)
set(TAGVISTA_SETUP ${TAGVISTA_SETUP_DIR}/tagvista-${PROJECT_VERSION}-setup.exe)
set(setup_files ${TAGVISTA_SETUP_DIR}/files)
set(setup_script ${CMAKE_SOURCE_DIR}/packaging/windows/tagvista.nsi)
set(setup_icon ${CMAKE_BINARY_DIR}/src/client/win32/icons/0-server.ico)

set(installed_targets tagvista tagvista-cli tagvista-agent tagvista-opcproxy tagvista-simulation tagvista-simserver)
set(strip_commands)
foreach(target ${installed_targets})
  list(APPEND strip_commands COMMAND ${CMAKE_STRIP} --strip-debug -o ${setup_files}/$<TARGET_FILE_NAME:${target}>
                                     $<TARGET_FILE:${target}>)
endforeach()

add_custom_command(
  OUTPUT ${TAGVISTA_SETUP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${setup_files}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${setup_files}
  ${strip_commands}
  COMMAND ${TAGVISTA_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DFILES=${setup_files} -DICON=${setup_icon}
          -DOUTFILE=${TAGVISTA_SETUP} ${setup_script}
  DEPENDS ${installed_targets} tagvista-win32-icons ${setup_script}
  COMMENT "Windows installer ${TAGVISTA_SETUP}"
  VERBATIM)
add_custom_target(tagvista-setup ALL DEPENDS ${TAGVISTA_SETUP})
