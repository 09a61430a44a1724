# The Windows build (cmake/mingw-i686.cmake): everything linked statically, so
# that quil.dll and the programs import only system DLLs; cJSON and TinyXML
# compiled from the distribution's source packages, GoogleTest from the
# sources the distribution ships with it. Included before the project's
# warning options: the third-party code is compiled as its authors wrote it.

add_link_options(-static -static-libgcc -static-libstdc++)
# Floating point in SSE2 registers, as on x86-64: every intermediate rounded
# to its type, so that conversions give the Linux build's results to the bit
# (the x87 unit would keep 80-bit intermediates).
add_compile_options(-msse2 -mfpmath=sse)

# --- cJSON and TinyXML, fetched once into the build tree.
set(QUIL_WINDOWS_SOURCES "${CMAKE_BINARY_DIR}/deps" CACHE PATH "cJSON and TinyXML sources for the Windows build")
if(NOT EXISTS "${QUIL_WINDOWS_SOURCES}/cjson/cJSON.c" OR NOT EXISTS "${QUIL_WINDOWS_SOURCES}/tinyxml/tinyxml.cpp")
  execute_process(COMMAND sh "${PROJECT_SOURCE_DIR}/scripts/windows-sources.sh" "${QUIL_WINDOWS_SOURCES}"
                  RESULT_VARIABLE fetched)
  if(NOT fetched EQUAL 0)
    message(FATAL_ERROR "could not get the cJSON and TinyXML sources into ${QUIL_WINDOWS_SOURCES}")
  endif()
endif()

# cJSON's functions are exported by quil.dll through its module-definition
# file, like the library's own; compiled here without cJSON's dllexport
# attributes, which would add names of their own.
add_library(quil_cjson STATIC "${QUIL_WINDOWS_SOURCES}/cjson/cJSON.c")
target_include_directories(quil_cjson PUBLIC "${QUIL_WINDOWS_SOURCES}/include")
target_compile_definitions(quil_cjson PUBLIC CJSON_HIDE_SYMBOLS)
target_compile_options(quil_cjson PRIVATE -w)
add_library(quil::cjson ALIAS quil_cjson)

add_library(quil_tinyxml STATIC
  "${QUIL_WINDOWS_SOURCES}/tinyxml/tinyxml.cpp" "${QUIL_WINDOWS_SOURCES}/tinyxml/tinystr.cpp"
  "${QUIL_WINDOWS_SOURCES}/tinyxml/tinyxmlerror.cpp" "${QUIL_WINDOWS_SOURCES}/tinyxml/tinyxmlparser.cpp")
target_include_directories(quil_tinyxml PUBLIC "${QUIL_WINDOWS_SOURCES}/tinyxml")
target_compile_definitions(quil_tinyxml PUBLIC TIXML_USE_STL)
target_compile_options(quil_tinyxml PRIVATE -w)
add_library(quil::tinyxml ALIAS quil_tinyxml)

# --- GoogleTest, as GTest::gtest.
if(QUIL_TESTS)
  set(QUIL_GTEST_SOURCES "/usr/src/googletest/googletest" CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory("${QUIL_GTEST_SOURCES}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()

# Benchmarks measure the machine the library runs on; under wine that would
# be wine's own cost.
set(QUIL_BENCH OFF)

# Test programs run under wine in a prefix of this build tree; the wrapper
# bounds their time and checks their pass marker (scripts/wine-run.sh).
set(QUIL_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "wine prefix the tests run in")
set(QUIL_NATIVE_QUILSIM "${PROJECT_SOURCE_DIR}/build/quilsim" CACHE FILEPATH
    "Linux quilsim the tests under wine talk to over loopback")
set(CMAKE_CROSSCOMPILING_EMULATOR bash "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh" --prefix "${QUIL_WINE_PREFIX}")
