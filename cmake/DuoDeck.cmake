# Shared settings for the project's own targets.

set(DUODECK_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

if(DUODECK_SANITIZE)
  add_compile_options(-fsanitize=${DUODECK_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${DUODECK_SANITIZE})
  if(DUODECK_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Warnings as errors on our own code only.
function(duodeck_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# duodeck_library(<name> [QT]) — one library per folder, sources globbed from that folder
# (and its direct subfolders given with SUBDIRS). Headers are included as "folder/File.h".
function(duodeck_library name)
  cmake_parse_arguments(ARG "QT" "" "SUBDIRS;EXCLUDE" ${ARGN})
  set(globs ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(sub ${ARG_SUBDIRS})
    list(APPEND globs ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.h)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${globs})
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  set(cpps ${sources})
  list(FILTER cpps INCLUDE REGEX "\\.cpp$")
  if(NOT cpps)
    # A folder whose code is still to come keeps a library so the dependency graph stays whole.
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${stub} "// placeholder\n")
    list(APPEND sources ${stub})
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${DUODECK_ROOT})
  duodeck_warnings(${name})
  if(ARG_QT)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
  endif()
endfunction()

# duodeck_test(<name> SOURCES ... LIBS ... [LABELS ...] [GUI] [SERIAL]) — one GoogleTest executable per layer.
# GUI tests run on Qt's offscreen platform; no display or sound card is needed.
function(duodeck_test name)
  cmake_parse_arguments(ARG "GUI;SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  if(ARG_GUI)
    set(main duodeck_test_main_gui)
  else()
    set(main duodeck_test_main_core)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} duodeck_test_support ${main} GTest::gtest GTest::gmock)
  duodeck_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # gtest_discover_tests passes properties as one flat list, so every value must be a single word:
  # one label per test (tsan wins, for `make test-tsan`), and the environment and sanitizer
  # options come from the test mains instead (tests/support/main).
  list(FIND ARG_LABELS tsan has_tsan)
  if(has_tsan GREATER -1)
    set(label tsan)
  else()
    list(GET ARG_LABELS 0 label)
  endif()
  # SERIAL: tests that measure sound in real time run alone, so that no other test starves them.
  if(ARG_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${label} TIMEOUT ${ARG_TIMEOUT} ${serial})
endfunction()
