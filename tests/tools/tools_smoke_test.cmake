# korvel-send and korvel-dump as Windows programs: help, a malformed frame
# and a closed port give their documented exit status and text.
#   cmake -DEMULATOR=<program|arg|...> -DSEND=<korvel-send.exe> -DDUMP=<korvel-dump.exe> -P <this>
string(REPLACE "|" ";" emulator "${EMULATOR}")

# Runs the program with the arguments; checks the exit status and that the
# output (standard output and error) contains the text.
function(expect status text)
  execute_process(COMMAND ${emulator} ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                  ERROR_VARIABLE out TIMEOUT 120)
  if(NOT result STREQUAL "${status}")
    message(FATAL_ERROR "${ARGN}: exit status ${result}, expected ${status}\n${out}")
  endif()
  string(FIND "${out}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${ARGN}: no '${text}' in the output\n${out}")
  endif()
  message(STATUS "ok: ${ARGN} -> ${result}")
endfunction()

expect(0 "Examples:" ${SEND} --help)
expect(0 "Examples:" ${DUMP} --help)
expect(2 "expected <id>#<data> or <id>#R[<len>]" ${SEND} 127.0.0.1:1 "123#DEADBEE")
expect(2 "bad gateway address" ${DUMP} localhost)
expect(1 "no gateway at 127.0.0.1:1" ${SEND} -c 5000 127.0.0.1:1 "123#DEADBEEF")
expect(1 "no gateway at 127.0.0.1:1" ${DUMP} -c 5000 127.0.0.1:1)
