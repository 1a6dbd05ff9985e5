# Fails when a file breaks the direction of the layers:
# - the window's files are app/ and station/ (mv604-station); the core is everything else outside
#   cli/, sim/, tests/, bench/ and fuzz/, and no core file includes widget headers, the form or
#   app/;
# - no product file includes cli/ or sim/, the core never includes station/, and app/ and
#   station/, two front ends, never include each other;
# - SQL is written in production/line_database*.cpp alone: no other file includes Qt SQL;
# - the core decides and the front ends present: no core file prints to a stream (printf, puts,
#   perror, std::cout, std::cerr) or ends the process (exit).
# Usage: cmake -DSOURCE_DIR=<checkout> -P check_layers.cmake
cmake_minimum_required(VERSION 3.16) # IN_LIST

set(window_includes
    "#include <Q(Widget|MainWindow|Dialog|MessageBox|FileDialog|InputDialog|PushButton|ProgressBar|TextBrowser|Application|LineEdit|Label|Layout|Frame|GridLayout|HBoxLayout|VBoxLayout|ScrollArea)"
    "#include <QtWidgets"
    "#include \"ui_"
    "#include \"app/")

# Printing or ending the process, outside a comment line: a call of its own, not a member
# (an event loop's exit) nor snprintf's formatting into a buffer.
set(front_end_calls
    "(^|[^A-Za-z0-9_.>:])(f?printf|f?puts|perror|_?exit|_Exit|quick_exit)[ \t]*\\("
    "(^|[^A-Za-z0-9_:])(std)?::(printf|puts|perror|exit|_Exit|quick_exit)[ \t]*\\("
    "std::(cout|cerr|clog)")

# The core is every folder of the build outside the front ends and the folders that only test,
# measure or simulate it: a folder added later is checked without being named here.
set(not_core app station cli sim tests bench fuzz)
file(GLOB folder_lists RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*/CMakeLists.txt)
set(core_folders "")
foreach(list_file ${folder_lists})
  get_filename_component(folder ${list_file} DIRECTORY)
  if(NOT folder IN_LIST not_core)
    list(APPEND core_folders ${folder})
  endif()
endforeach()

set(faults "")
set(globs "")
foreach(folder ${core_folders} app station)
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

foreach(source ${sources})
  if(source MATCHES "^(app|station)/")
    continue()
  endif()
  # One list item per line: CMake lists split at ';' and keep '[...]' together.
  file(READ ${SOURCE_DIR}/${source} text)
  string(REGEX REPLACE "[];[]" " " text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*//")
      continue()
    endif()
    foreach(pattern ${front_end_calls})
      if(line MATCHES "${pattern}")
        string(STRIP "${line}" line)
        list(APPEND faults "${source}: ${line} (the core neither prints nor exits: a front end does)")
        break()
      endif()
    endforeach()
  endforeach()
endforeach()

list(LENGTH sources checked)
if(faults)
  string(REPLACE ";" "\n  " report "${faults}")
  message(FATAL_ERROR "Layering broken:\n  ${report}")
endif()
message(STATUS "${checked} files keep the layers")
