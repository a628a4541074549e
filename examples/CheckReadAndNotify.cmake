# Runs the read-and-notify example on a scenario and checks what it printed:
# the phone's greeting and its three notifications, in order, then exit code 0.
execute_process(COMMAND ${PROGRAM} ${SCENARIO} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the example ended with ${status}")
endif()
set(expected "Read: \"hello from phone A\"\nNotification: 01 01 \nNotification: 01 02 \nNotification: 01 03 \n")
string(FIND "${out}" "${expected}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the example did not print the greeting and the three notifications in order")
endif()
