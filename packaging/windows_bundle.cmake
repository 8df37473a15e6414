# The Windows zip: the DLL beside the tools (Windows looks for a DLL in the
# program's folder first), the header, the module-definition file, the MinGW
# import library and a README on linking.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KORVEL_WINDOWS_ARCH win32)
else()
  set(KORVEL_WINDOWS_ARCH win64)
endif()

install(TARGETS korvel32 korvel-dump korvel-send RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/api/korvel32.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/api/korvel32.def DESTINATION lib RENAME KORVEL32.def)
configure_file(README-windows.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(KORVEL_ZIP_NAME KORVEL32-${PROJECT_VERSION}-${KORVEL_WINDOWS_ARCH} CACHE INTERNAL "")
set(CPACK_PACKAGE_FILE_NAME ${KORVEL_ZIP_NAME})
