# A manual page made from a program's --help text:
#   cmake -DPROGRAM=<program> -DSUMMARY=<one line> -DSOURCE=<package>
#         -DVERSION=<version> -DOUTPUT=<page.1> -P man_page.cmake
# The first line ("usage: NAME ARGS") becomes the synopsis, the rest the
# description, kept as the program prints it.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help: exit status ${status}")
endif()
get_filename_component(name ${PROGRAM} NAME_WE)
string(TOUPPER ${name} title)

# Backslashes print as \e; a leading . or ' would be a request to roff.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REGEX MATCH "^usage: [^ \n]+ ([^\n]*)\n(.*)$" usage "${help}")
if(NOT usage)
  message(FATAL_ERROR "${PROGRAM} --help: no 'usage: ${name} ...' line")
endif()
set(arguments "${CMAKE_MATCH_1}")
set(description "${CMAKE_MATCH_2}")
string(REPLACE "-" "\\-" name_roff "${name}")

file(WRITE ${OUTPUT} ".TH ${title} 1 \"\" \"${SOURCE} ${VERSION}\" \"User Commands\"
.SH NAME
${name_roff} \\- ${SUMMARY}
.SH SYNOPSIS
.B ${name_roff}
${arguments}
.SH DESCRIPTION
.nf
${description}.fi
")
