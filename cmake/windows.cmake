# The toolchain of the windows preset: mingw-w64 (mingw-w64-x86_64.cmake), and in front of it,
# when the Qt that scripts/build-qt-windows.sh builds is in its cache folder (or the environment's
# QUILL_QT_MINGW names such a Qt), that Qt's own toolchain file chain-loading ours, so that
# find_package(Qt6) finds it and the wizard, quill.exe, is built as well. Without that Qt only
# quill-cli.exe is built. The environment is read rather than a cache variable because CMake
# runs this file again, without the cache, for every compiler check.
set(_quill_qt "$ENV{QUILL_QT_MINGW}")
if(NOT _quill_qt)
  if(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_quill_qt_cache "$ENV{XDG_CACHE_HOME}/quill")
  else()
    set(_quill_qt_cache "$ENV{HOME}/.cache/quill")
  endif()
  # Only a finished build counts: the script marks one when its installation is complete.
  file(GLOB _quill_qt_done "${_quill_qt_cache}/qt6-mingw-*/.complete")
  if(_quill_qt_done)
    list(SORT _quill_qt_done)
    list(GET _quill_qt_done -1 _quill_qt_done)
    get_filename_component(_quill_qt "${_quill_qt_done}" DIRECTORY)
  endif()
endif()
if(_quill_qt AND EXISTS "${_quill_qt}/lib/cmake/Qt6/qt.toolchain.cmake")
  set(QT_CHAINLOAD_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake")
  include("${_quill_qt}/lib/cmake/Qt6/qt.toolchain.cmake")
else()
  include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake")
endif()
