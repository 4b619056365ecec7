# The test suites of the Windows build: the core's unit tests that need no simulated board,
# and the Windows serial unit's own, each one Windows program that ctest runs under wine
# (CMAKE_CROSSCOMPILING_EMULATOR). quill-cli.exe against the simulated board is tested from the
# native build (tests/wine), since the board lives on a POSIX pseudo-terminal.

# GoogleTest from the sources Debian ships (googletest, with libgtest-dev), built with the cross
# compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# One program per suite, run whole: every wine start costs a good part of a second.
function(quill_add_windows_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  # The test folders, and sim/ for the record lines the program-file tests write.
  quill_include_folder(${name} PRIVATE tests sim)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    QUILL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QUILL_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120 LABELS windows)
endfunction()

set(_t ${CMAKE_CURRENT_SOURCE_DIR})
quill_add_windows_test(test_core SOURCES
  ${_t}/core/catalogue_test.cpp ${_t}/core/strings_test.cpp ${_t}/core/results_test.cpp
  ${_t}/core/wizard_state_test.cpp ${_t}/core/sha256_test.cpp LIBS quillstate)
quill_add_windows_test(test_progfile SOURCES
  ${_t}/progfile/load_file_test.cpp ${_t}/progfile/program_image_test.cpp
  ${_t}/progfile/address_field_test.cpp ${CMAKE_SOURCE_DIR}/sim/srec_line.cpp LIBS quillstate)
quill_add_windows_test(test_serial_win SOURCES ${_t}/windows/serial_port_win_test.cpp
  LIBS quillcore)

# The wizard's tests that need no simulated board (settings, sheet and page layer, pages fitting
# their window), when the wizard is built: on Qt's windows platform, the one quill.exe has, under
# wine on an X server without a screen (scripts/ci-windows.sh runs ctest under xvfb-run).
if(TARGET quillgui)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  quill_add_windows_test(test_gui SOURCES
    ${_t}/gui/gui_main.cpp ${_t}/gui/gui_support.cpp ${_t}/gui/settings_store_test.cpp
    ${_t}/gui/sheet_test.cpp ${_t}/gui/page_fit_test.cpp
    LIBS quillgui quillrecords Qt6::Test)
endif()
