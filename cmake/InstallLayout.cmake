# `cmake --install BUILD --prefix DIR` lays out an installation folder as the
# client ships it:
#   DIR/TavlinLaunch.exe, DIR/TavlinLaunchQuestion.so   the launcher
#   DIR/temp/Updater.exe, DIR/temp/zlib.dll             the updater
#   DIR/tools/tavlin-pack                               the vendor's packer
# The stand-in client programs, fixtures, tests and benchmarks stay out.
install(TARGETS TavlinLaunch RUNTIME DESTINATION .)
install(TARGETS tavlin_launch_question LIBRARY DESTINATION .)
install(TARGETS zlibdll LIBRARY DESTINATION temp)
# The updater keeps its RUNPATH $ORIGIN, which finds zlib.dll beside it.
install(PROGRAMS $<TARGET_FILE:tavlinUpdater> DESTINATION temp RENAME Updater.exe)
if(TARGET tavlin-pack)
  install(TARGETS tavlin-pack RUNTIME DESTINATION tools)
endif()
