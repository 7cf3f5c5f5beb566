# cmake -DBUILD_DIR=<build> -DPREFIX=<scratch prefix> -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
  bin/duodeck
  share/doc/duodeck/help.html
  share/doc/duodeck/copyright
  share/doc/duodeck/changelog.gz
  share/man/man1/duodeck.1.gz
  share/applications/org.duodeck.DuoDeck.desktop
  share/metainfo/org.duodeck.DuoDeck.metainfo.xml
  share/icons/hicolor/scalable/apps/duodeck.svg)
foreach(size 16 22 24 32 48 64 128 256)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/duodeck.png)
endforeach()
foreach(file ${expected})
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "missing from the install tree: ${file}")
  endif()
endforeach()

# The icons are what their folders say.
foreach(size 16 256)
  file(READ ${PREFIX}/share/icons/hicolor/${size}x${size}/apps/duodeck.png header LIMIT 24 HEX)
  string(SUBSTRING "${header}" 32 16 dimensions)
  math(EXPR side "${size}" OUTPUT_FORMAT HEXADECIMAL)
  string(REPLACE "0x" "" side "${side}")
  string(LENGTH "${side}" digits)
  math(EXPR pad "8 - ${digits}")
  string(REPEAT "0" ${pad} zeros)
  if(NOT dimensions STREQUAL "${zeros}${side}${zeros}${side}")
    message(FATAL_ERROR "icon ${size}x${size} has the header dimensions ${dimensions}")
  endif()
endforeach()

foreach(validator desktop-file-validate appstreamcli)
  find_program(${validator}_path ${validator})
  if(NOT ${validator}_path)
    message(FATAL_ERROR "${validator} is not installed (scripts/bootstrap installs it)")
  endif()
endforeach()
execute_process(COMMAND ${desktop-file-validate_path} ${PREFIX}/share/applications/org.duodeck.DuoDeck.desktop
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "desktop-file-validate: ${out}")
endif()
execute_process(COMMAND ${appstreamcli_path} validate --no-net --no-color
                        ${PREFIX}/share/metainfo/org.duodeck.DuoDeck.metainfo.xml
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "appstreamcli validate: ${out}")
endif()
message(STATUS "install tree complete and valid")
