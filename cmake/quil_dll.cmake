# quil.dll: its exports come only from a module-definition file written before
# each link from the headers and the compiled archives (cmake/dll_exports.cmake),
# so a function added to quil.h is exported without anyone keeping a list. The
# import library is written from a second file by dlltool: it lets a caller's
# __stdcall references (_QUIL_CloseDevice@4) reach the plain export names.

# Exported under their decorated names only, as the DLL that applications
# were built against has them.
set(QUIL_DECORATED_ONLY_EXPORTS QUIL_GetCameraSpotType QUIL_Refresh QUIL_SetFormula QUIL_DeriveFormula)

string(REPLACE ";" "," QUIL_DECORATED_ONLY_LIST "${QUIL_DECORATED_ONLY_EXPORTS}")
set(QUIL_DEF "${CMAKE_CURRENT_BINARY_DIR}/quil.def")
set(QUIL_IMPLIB_DEF "${CMAKE_CURRENT_BINARY_DIR}/quil-implib.def")
set_target_properties(quil PROPERTIES PREFIX "" OUTPUT_NAME quil VERSION ${PROJECT_VERSION}
                                      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(quil PUBLIC "${QUIL_WINDOWS_SOURCES}/include")

add_custom_command(
  TARGET quil PRE_LINK
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DARCHIVES=$<TARGET_FILE:quilcore>,$<TARGET_FILE:quil_cjson>"
          -DQUIL_HEADER=${PROJECT_SOURCE_DIR}/include/quil.h
          -DCJSON_HEADER=${QUIL_WINDOWS_SOURCES}/include/cjson/cJSON.h
          "-DDECORATED_ONLY=${QUIL_DECORATED_ONLY_LIST}" -DDLL_NAME=quil.dll -DDEF=${QUIL_DEF}
          -DIMPLIB_DEF=${QUIL_IMPLIB_DEF} -P ${PROJECT_SOURCE_DIR}/cmake/dll_exports.cmake
  COMMENT "Writing the export list of quil.dll"
  VERBATIM)
target_link_options(quil PRIVATE "${QUIL_DEF}")
add_custom_command(
  TARGET quil POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} -d ${QUIL_IMPLIB_DEF} -D quil.dll -l $<TARGET_LINKER_FILE:quil>
  COMMENT "Writing the import library of quil.dll"
  VERBATIM)
