# Fails when a file breaks the direction of the layers:
# - the window's files are app/ and station/ (mv604-station); the core is everything else outside
#   cli/ and sim/, and no core file includes widget headers, the form or app/;
# - no product file includes cli/ or sim/, the core never includes station/, and app/ and
#   station/, two front ends, never include each other;
# - SQL is written in production/line_database*.cpp alone: no other file includes Qt SQL.
# Usage: cmake -DSOURCE_DIR=<checkout> -P check_layers.cmake
set(window_includes
    "#include <Q(Widget|MainWindow|Dialog|MessageBox|FileDialog|InputDialog|PushButton|ProgressBar|TextBrowser|Application|LineEdit|Label|Layout|Frame|GridLayout|HBoxLayout|VBoxLayout|ScrollArea)"
    "#include <QtWidgets"
    "#include \"ui_"
    "#include \"app/")

set(faults "")
set(globs "")
foreach(folder files usb device upgrade image service production app station)
  list(APPEND globs ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
endforeach()
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${globs})
foreach(source ${sources})
  if(source MATCHES "^station/")
    set(front_end_includes "#include \"(cli|sim|app)/")
  else()
    set(front_end_includes "#include \"(cli|sim|station)/")
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include")
  foreach(line ${includes})
    if(line MATCHES "${front_end_includes}")
      list(APPEND faults "${source}: ${line} (the core never includes a front end, nor one front end another)")
    endif()
    if(line MATCHES "#include <QSql" AND NOT source MATCHES "^production/line_database")
      list(APPEND faults "${source}: ${line} (the line's database is reached through LineDatabase)")
    endif()
    if(NOT source MATCHES "^(app|station)/")
      foreach(pattern ${window_includes})
        if(line MATCHES "${pattern}")
          list(APPEND faults "${source}: ${line} (only app/ and station/ touch the window)")
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
