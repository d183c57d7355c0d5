# Running the Windows programs of a cross-build under Wine.
#
# Each build tree gets its own Wine world in ${OVIK_WINE_DIR}: a prefix, a
# private home, the ja_JP.UTF-8 locale and the virtual display of the current
# test run. `wine-run` (the CTest emulator) runs one program in it;
# `wine-session` starts and stops the display and a fresh prefix around a test
# run. Nothing here touches ~/.wine.
if(CMAKE_CROSSCOMPILING AND NOT MSVC)
  set(OVIK_WINE_DIR ${CMAKE_BINARY_DIR}/wine CACHE PATH "Wine prefix, home and display of this build")
  configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                 GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-session.in ${CMAKE_BINARY_DIR}/wine-session
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                 GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
