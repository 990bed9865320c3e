# Installed layout mirrors the build tree's bin/: the program finds addCom
# beside itself and setupc in driver/ below it.
include(GNUInstallDirs)
# Folders made by the install get the usual modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(target zelvane-tunnel addCom zelvane-cloudsim)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET setupc)
  install(TARGETS setupc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}/driver)
endif()
if(TARGET zelvane-tunnel)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zelvane-tunnel.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zelvane-tunnel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  # The manual page carries the project version and is installed compressed,
  # as man expects on Debian.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/zelvane-tunnel.1
                 ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1 @ONLY)
  find_program(GZIP_PROGRAM gzip REQUIRED)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1.gz
    COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1
    COMMENT "Compressing the manual page")
  add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The headless gateway as a systemd user service. Its ExecStart names the
  # program where this install puts it, so the unit is written at install
  # time, when the prefix (a --prefix, or /usr for the package) is known.
  install(CODE "
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zelvane-tunnel.service.in\"
                   \"${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.service\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/zelvane-tunnel.service
          DESTINATION lib/systemd/user)
endif()
