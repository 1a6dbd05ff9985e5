# Fails when a file breaks the direction of the layers:
# - outside app/, only *_slots.cpp files may include widget headers, the form or app/;
# - no product file (front ends aside) includes cli/ or sim/.
# Usage: cmake -DSOURCE_DIR=<checkout> -P check_layers.cmake
set(window_includes
    "#include <Q(Widget|MainWindow|Dialog|MessageBox|FileDialog|InputDialog|PushButton|ProgressBar|TextBrowser|Application|LineEdit|Label|Layout)"
    "#include <QtWidgets"
    "#include \"ui_"
    "#include \"app/")
set(front_end_includes "#include \"(cli|sim)/")

set(faults "")
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/usb/*.cpp ${SOURCE_DIR}/usb/*.h ${SOURCE_DIR}/device/*.cpp ${SOURCE_DIR}/device/*.h
     ${SOURCE_DIR}/upgrade/*.cpp ${SOURCE_DIR}/upgrade/*.h ${SOURCE_DIR}/image/*.cpp ${SOURCE_DIR}/image/*.h
     ${SOURCE_DIR}/service/*.cpp ${SOURCE_DIR}/service/*.h ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h)
foreach(source ${sources})
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include")
  foreach(line ${includes})
    if(line MATCHES "${front_end_includes}")
      list(APPEND faults "${source}: ${line} (the core never includes a front end)")
    endif()
    if(NOT source MATCHES "^app/" AND NOT source MATCHES "_slots\\.cpp$")
      foreach(pattern ${window_includes})
        if(line MATCHES "${pattern}")
          list(APPEND faults "${source}: ${line} (only app/ and *_slots.cpp touch the window)")
        endif()
      endforeach()
    endif()
  endforeach()
endforeach()

list(LENGTH sources checked)
if(faults)
  string(REPLACE ";" "\n  " report "${faults}")
  message(FATAL_ERROR "Layering broken:\n  ${report}")
endif()
message(STATUS "${checked} files keep the layers")
