# RapidJSON, zlib, GoogleTest and Google Benchmark, from the distribution's packages.

# The cross compilers must see RapidJSON alone, never the whole of /usr/include.
set(NELKO_RAPIDJSON_INCLUDE ${CMAKE_BINARY_DIR}/third_party_include)
file(MAKE_DIRECTORY ${NELKO_RAPIDJSON_INCLUDE})
if(NOT EXISTS ${NELKO_RAPIDJSON_INCLUDE}/rapidjson)
  file(CREATE_LINK /usr/include/rapidjson ${NELKO_RAPIDJSON_INCLUDE}/rapidjson SYMBOLIC)
endif()
add_library(nelko_rapidjson INTERFACE)
target_include_directories(nelko_rapidjson SYSTEM INTERFACE ${NELKO_RAPIDJSON_INCLUDE})
# RapidJSON derives from std::iterator, which C++17 deprecates.
target_compile_options(nelko_rapidjson INTERFACE -Wno-deprecated-declarations)

if(WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)

if(NELKO_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  include(GoogleTest)
endif()

if(NOT WIN32 AND NOT NELKO_FUZZ)
  find_package(benchmark QUIET)
endif()
