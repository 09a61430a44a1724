# Writes the module-definition files of quil.dll from what the headers declare
# and how the compiled code names it (cmake -P, run before every link):
#
#   DEF         the DLL's exports: each function under its plain name, mapped
#               to its decorated symbol ("QUIL_CloseDevice = QUIL_CloseDevice@4");
#               the DECORATED_ONLY functions under their decorated name only
#               ("_QUIL_Refresh@4 = QUIL_Refresh@4"); C functions plainly.
#   IMPLIB_DEF  the import library's entries: the symbol a caller's compiler
#               refers to, and the name the DLL exports it under
#               ("QUIL_CloseDevice@4 == QUIL_CloseDevice").
#
# The functions are those QUIL_API declares in quil.h and CJSON_PUBLIC in
# cJSON.h; NM lists the defined symbols of ARCHIVES, which give each one's
# decoration (__stdcall adds "@" and the size of the arguments). A declared
# function that the archives do not define stops the build.
#
# Inputs: NM, ARCHIVES and DECORATED_ONLY (comma-separated), QUIL_HEADER,
# CJSON_HEADER, DLL_NAME, DEF, IMPLIB_DEF.

cmake_minimum_required(VERSION 3.25)

foreach(var NM ARCHIVES QUIL_HEADER CJSON_HEADER DLL_NAME DEF IMPLIB_DEF)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "dll_exports.cmake: ${var} is not set")
  endif()
endforeach()

# Lists come comma-separated through the command line.
string(REPLACE "," ";" ARCHIVES "${ARCHIVES}")
string(REPLACE "," ";" DECORATED_ONLY "${DECORATED_ONLY}")

# name(s) a declaration pattern matches in a header; "__" names are the
# attribute words of the macro definitions themselves.
function(declared_names header pattern out)
  file(READ "${header}" text)
  string(REGEX MATCHALL "${pattern}" decls "${text}")
  set(names "")
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE ".*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*\\($" "\\1" name "${decl}")
    if(NOT name MATCHES "^__")
      list(APPEND names "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

declared_names("${QUIL_HEADER}" "QUIL_API[^;(\n]*[^A-Za-z0-9_(\n][A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*\\(" quil_names)
declared_names("${CJSON_HEADER}" "CJSON_PUBLIC\\([^;(\n]*\\)[^;(\n]*[^A-Za-z0-9_(\n][A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*\\("
               cjson_names)
list(LENGTH quil_names quil_count)
if(quil_count LESS 20)
  message(FATAL_ERROR "dll_exports.cmake: only ${quil_count} functions found in ${QUIL_HEADER}")
endif()

# Defined code symbols: "_Name" (C) or "_Name@N" (__stdcall).
execute_process(COMMAND ${NM} -g --defined-only ${ARCHIVES} OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "dll_exports.cmake: ${NM} failed on ${ARCHIVES}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ T _([A-Za-z_][A-Za-z0-9_]*)(@[0-9]+)?$")
    set("decoration_${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
    set("defined_${CMAKE_MATCH_1}" TRUE)
  endif()
endforeach()

set(def "LIBRARY ${DLL_NAME}\nEXPORTS\n")
set(implib "LIBRARY ${DLL_NAME}\nEXPORTS\n")
set(missing "")
foreach(name IN LISTS quil_names cjson_names)
  if(NOT defined_${name})
    list(APPEND missing "${name}")
    continue()
  endif()
  set(decoration "${decoration_${name}}")
  if(name IN_LIST DECORATED_ONLY)
    if(decoration STREQUAL "")
      message(FATAL_ERROR "dll_exports.cmake: ${name} is exported decorated but is not __stdcall")
    endif()
    string(APPEND def "    _${name}${decoration} = ${name}${decoration}\n")
    string(APPEND implib "    ${name}${decoration} == _${name}${decoration}\n")
  elseif(decoration STREQUAL "")
    string(APPEND def "    ${name}\n")
    string(APPEND implib "    ${name}\n")
  else()
    string(APPEND def "    ${name} = ${name}${decoration}\n")
    string(APPEND implib "    ${name}${decoration} == ${name}\n")
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "dll_exports.cmake: declared but not defined: ${missing}")
endif()

# Rewritten only when the text changes, so that an unchanged list does not
# look like a new input.
foreach(pair "DEF;def" "IMPLIB_DEF;implib")
  list(GET pair 0 path_var)
  list(GET pair 1 text_var)
  set(old "")
  if(EXISTS "${${path_var}}")
    file(READ "${${path_var}}" old)
  endif()
  if(NOT old STREQUAL "${${text_var}}")
    file(WRITE "${${path_var}}" "${${text_var}}")
  endif()
endforeach()
