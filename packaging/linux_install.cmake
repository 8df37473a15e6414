# The native install: libkorvel32.so with its SONAME, the header, a CMake
# package (korvel32::korvel32), a pkg-config file, the tools with manual pages
# made from their --help, and the documentation with a complete example.
set(KORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvel32)
set(KORVEL_TOOLS korvel-dump korvel-send korvel-gateway)

target_include_directories(korvel32 INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS korvel32 EXPORT korvel32 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/api/korvel32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The exported target is the whole package: the library has no dependencies
# that a program linking it must know about.
install(EXPORT korvel32 NAMESPACE korvel32:: FILE korvel32-config.cmake
        DESTINATION ${KORVEL_CMAKE_DIR})
include(CMakePackageConfigHelpers)
write_basic_package_version_file(korvel32-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvel32-config-version.cmake
        DESTINATION ${KORVEL_CMAKE_DIR})

# Paths in the pkg-config file are relative to the file itself, so the same
# file serves every prefix and a package unpacked anywhere.
file(RELATIVE_PATH KORVEL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KORVEL_PC_TO_PREFIX ${KORVEL_PC_TO_PREFIX})
configure_file(korvel32.pc.in korvel32.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvel32.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools find the library from any prefix through bin/../lib.
file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(korvel-dump korvel-send PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
install(TARGETS ${KORVEL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(korvel-dump_summary "print the CAN frames that a KORVEL32 gateway sends")
set(korvel-send_summary "send CAN frames to a KORVEL32 gateway")
set(korvel-gateway_summary "simulate a KORVEL32 gateway")
foreach(tool ${KORVEL_TOOLS})
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${tool}> "-DSUMMARY=${${tool}_summary}"
            -DSOURCE=KORVEL32 -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/man_page.cmake
    COMMAND gzip -9nf ${page}
    DEPENDS ${tool} man_page.cmake VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
add_custom_target(korvel_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KORVEL_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${KORVEL_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/example/korvel_example.c example/CMakeLists.txt
        DESTINATION ${KORVEL_DOC_DIR}/examples)
# Beside the other files, not in Wireshark's global plugin folder: loaded from
# there it would clash with the same script given by -X lua_script.
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/korvel.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korvel32/wireshark)
