# cmake -DHEADER=api/korvel32.h -DOUTPUT=<file> -P status_table.cmake
# Writes the public status codes of the header as C++ table rows
# `{KORVEL_OK, "KORVEL_OK", "success"},`, one per status line of the form
# `#define KORVEL_ERR_NAME 7u /* text */`. A status line in another form
# fails the build, so that no status goes without its text.
file(STRINGS ${HEADER} lines REGEX "^#define KORVEL_(OK|ERR_)")
set(rows "// Made from the status lines of korvel32.h by cmake/status_table.cmake.\n")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^#define (KORVEL_[A-Z_]+) +[0-9]+u +/\\* ([^\"\\\\]+) \\*/$")
    message(FATAL_ERROR "${HEADER}: a status line must read `#define NAME VALUEu /* text */` "
                        "on one line: ${line}")
  endif()
  string(APPEND rows "{${CMAKE_MATCH_1}, \"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"},\n")
endforeach()
file(WRITE ${OUTPUT} "${rows}")
