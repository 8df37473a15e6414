# korvel-send and korvel-dump as a user first meets them: help, bad
# arguments and a missing gateway give their documented exit status and
# text. Run on the native tools, and under Wine on the tools of the zip.
#   cmake [-DEMULATOR=<program|arg|...>] -DSEND=<korvel-send> -DDUMP=<korvel-dump> -P <this>
string(REPLACE "|" ";" emulator "${EMULATOR}")

# Runs the program with the arguments; checks the exit status and that the
# output (standard output and error) contains the text.
function(expect status text)
  execute_process(COMMAND ${emulator} ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                  ERROR_VARIABLE out TIMEOUT 120)
  string(FIND "${out}" "${text}" at)
  if(NOT result STREQUAL "${status}" OR at EQUAL -1)
    message(FATAL_ERROR "${ARGN}: exit status ${result}, expected ${status} and '${text}'\n${out}")
  endif()
  message(STATUS "ok: ${ARGN} -> ${result}")
endfunction()

expect(0 "Examples:" ${SEND} --help)
expect(0 "Examples:" ${DUMP} --help)
# Nothing listens on port 1: a bad frame must end the tool before it connects.
expect(2 "expected <id>#<data> or <id>#R[<len>]" ${SEND} 127.0.0.1:1 "123#11" "123#DEADBEE")
expect(2 "error frames" ${SEND} 127.0.0.1:1 "20000080#0000")
expect(2 "bad gateway address" ${DUMP} localhost)
expect(2 "bad filter '12x:7FF'" ${DUMP} "127.0.0.1,12x:7FF")
# With a connection time-out of ten minutes, only a tool that sees the
# refusal ends within the time-out above.
set(refused "no gateway at 127.0.0.1:1 (connection refused or unreachable)")
expect(1 "${refused}" ${SEND} -c 600000 127.0.0.1:1 "123#DEADBEEF")
expect(1 "${refused}" ${DUMP} -c 600000 127.0.0.1:1)
