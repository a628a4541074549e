# The shipped library carries no simulator: it exports none of the virtual
# radios' symbols and defines no driver function (it imports them from
# whichever pc-ble-driver it links), and its sources see nothing of sim/.
#
#   cmake -DLIBRARY=liblumen.so -DNM=nm -DCOMPILE_COMMANDS=compile_commands.json
#         -DSOURCE_DIR=<source tree> -P LibraryCarriesNoSimulator.cmake
cmake_minimum_required(VERSION 3.25)

set(failures "")

execute_process(COMMAND ${NM} -D -C --defined-only ${LIBRARY}
                OUTPUT_VARIABLE defined RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" defined "${defined}")
list(FILTER defined INCLUDE REGEX "lumen::sim::|Nrf52|Bled112|sd_rpc_|sd_ble_")
if(defined)
  list(LENGTH defined count)
  list(SUBLIST defined 0 10 shown)
  list(JOIN shown "\n  " shown)
  string(APPEND failures "${LIBRARY} defines ${count} simulator or driver symbols, among them:\n  ${shown}\n")
endif()

execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE undefined)
if(NOT undefined MATCHES "(^|[ \n])sd_rpc_open(\n|$)")
  string(APPEND failures "${LIBRARY} does not import sd_rpc_open from a pc-ble-driver\n")
endif()

# The library's objects are compiled with no include folder inside sim/.
string(REGEX REPLACE "([][+.*?()^$|\\])" "\\\\\\1" source_pattern "${SOURCE_DIR}")
file(READ ${COMPILE_COMMANDS} commands)
string(JSON entries LENGTH "${commands}")
math(EXPR last "${entries} - 1")
foreach(i RANGE ${last})
  string(JSON file GET "${commands}" ${i} file)
  string(JSON command GET "${commands}" ${i} command)
  if(file MATCHES "/lumen_objects\\.dir/|^${source_pattern}/src/" AND command MATCHES "(-I|-isystem) ?${source_pattern}/sim[/ ]")
    string(APPEND failures "${file} is compiled with an include folder inside sim/\n")
    break()
  endif()
endforeach()

file(GLOB_RECURSE sources ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp)
foreach(source ${sources})
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]sim/")
  if(includes)
    string(APPEND failures "${source} includes from sim/\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "${LIBRARY}: no simulator inside, driver functions imported")
