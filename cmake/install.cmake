# Installed layout mirrors the build tree's bin/: the program finds addCom
# beside itself and setupc in driver/ below it.
include(GNUInstallDirs)
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
endif()
