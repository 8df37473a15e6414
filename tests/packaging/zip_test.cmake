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

function(run) # command...: fails the test unless it succeeds
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result
                  OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 300)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${result}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CPACK} -G ZIP --config ${BUILD}/CPackConfig.cmake -B ${WORK})
set(zip ${WORK}/${NAME}.zip)
run(${CMAKE_COMMAND} -E tar tf ${zip})
string(REGEX REPLACE "\n$" "" listing "${out}")
string(REPLACE "\n" ";" listing "${listing}")
list(FILTER listing EXCLUDE REGEX "/$")
list(SORT listing)
set(expected README.txt bin/KORVEL32.dll bin/korvel-dump.exe bin/korvel-send.exe
             include/korvel32.h lib/KORVEL32.def lib/libKORVEL32.dll.a)
list(TRANSFORM expected PREPEND ${NAME}/)
if(NOT listing STREQUAL expected)
  message(FATAL_ERROR "${zip} holds\n  ${listing}\nexpected\n  ${expected}")
endif()

run(${CMAKE_COMMAND} -E tar xf ${zip})
set(dir ${WORK}/${NAME})
run(${CMAKE_COMMAND} -DEMULATOR=${EMULATOR} -DSEND=${dir}/bin/korvel-send.exe
    -DDUMP=${dir}/bin/korvel-dump.exe -P ${SMOKE})

# The README's MinGW command line; with no gateway listening the example
# prints the version and ends with status 1.
run(${CC} ${EXAMPLE} -I${dir}/include -L${dir}/lib -lKORVEL32 -o ${dir}/bin/korvel-example.exe)
execute_process(COMMAND ${emulator} ${dir}/bin/korvel-example.exe 127.0.0.1:1 RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 120)
string(FIND "${out}" "KORVEL32 ${VERSION}" at)
if(NOT result EQUAL 1 OR at EQUAL -1)
  message(FATAL_ERROR "korvel-example from the zip: status ${result}\n${out}")
endif()
message(STATUS "${zip}: contents, tools and import library ok")
