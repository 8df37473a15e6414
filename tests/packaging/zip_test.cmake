# Makes the Windows zip with cpack, checks that it holds exactly the files
# of a release, unpacks it, runs its tools under the emulator (Wine) and
# links the example against its header and import library, as its README
# says.
#   cmake -DCPACK=<cpack> -DBUILD=<build> -DWORK=<dir> -DNAME=<zip name>
#         -DEMULATOR=<program|arg|...> -DCC=<mingw gcc> -DEXAMPLE=<korvel_example.c>
#         -DSMOKE=<tools smoke test script> -DVERSION=<version> -P zip_test.cmake
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run status) # status command...: fails the test unless the command ends with status
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result
                  OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 300)
  if(NOT result EQUAL status)
    message(FATAL_ERROR "${ARGN}: ${result}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(0 ${CPACK} -G ZIP --config ${BUILD}/CPackConfig.cmake -B ${WORK})
set(zip ${WORK}/${NAME}.zip)
run(0 ${CMAKE_COMMAND} -E tar tf ${zip})
string(REGEX MATCHALL "[^\n]+" listing "${out}")
list(FILTER listing EXCLUDE REGEX "/$")
list(SORT listing)
set(expected README.txt bin/KORVEL32.dll bin/korvel-dump.exe bin/korvel-send.exe
             include/korvel32.h lib/KORVEL32.def lib/libKORVEL32.dll.a)
list(TRANSFORM expected PREPEND ${NAME}/)
if(NOT listing STREQUAL expected)
  message(FATAL_ERROR "${zip} holds\n  ${listing}\nexpected\n  ${expected}")
endif()

run(0 ${CMAKE_COMMAND} -E tar xf ${zip})
set(dir ${WORK}/${NAME})
run(0 ${CMAKE_COMMAND} -DEMULATOR=${EMULATOR} -DSEND=${dir}/bin/korvel-send.exe
    -DDUMP=${dir}/bin/korvel-dump.exe -P ${SMOKE})

# The README's MinGW command line; with no gateway listening the example
# prints the version and ends with status 1.
run(0 ${CC} ${EXAMPLE} -I${dir}/include -L${dir}/lib -lKORVEL32 -o ${dir}/bin/korvel-example.exe)
run(1 ${emulator} ${dir}/bin/korvel-example.exe 127.0.0.1:1)
if(NOT out MATCHES "KORVEL32 ${VERSION}")
  message(FATAL_ERROR "korvel-example from the zip does not print its version:\n${out}")
endif()
message(STATUS "${zip}: contents, tools and import library ok")
