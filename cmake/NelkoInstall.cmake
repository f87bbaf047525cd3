# The package for integrators, put in a prefix by `cmake --install`: the
# handler, the engine-side client library with its headers, and a CMake
# package configuration. A game then uses it with
#   find_package(NelkoCrashHandler REQUIRED)
#   target_link_libraries(game PRIVATE Nelko::client)
# and ships the handler (the imported program Nelko::handler) beside itself.
if(NOT WIN32)
  return()
endif()
include(CMakePackageConfigHelpers)

set(NELKO_PACKAGE_VERSION 1.0.0)
set(NELKO_INSTALL_BIN bin)
set(NELKO_INSTALL_INCLUDE include/nelko)
set(NELKO_INSTALL_CMAKE lib/cmake/NelkoCrashHandler)

install(TARGETS NelkoCrashHandler RUNTIME DESTINATION ${NELKO_INSTALL_BIN})
install(TARGETS nelko_client EXPORT NelkoCrashHandlerTargets ARCHIVE DESTINATION lib)
# The headers keep their folders ("client/...", "base/...") under a folder of
# the package's own, so that they clash with no other package's.
install(FILES client/crash_catching_win.h client/crash_data_block_win.h client/crash_handler_client_win.h
              client/message_encoding.h client/protocol.h
        DESTINATION ${NELKO_INSTALL_INCLUDE}/client)
install(FILES base/scoped_handle_win.h DESTINATION ${NELKO_INSTALL_INCLUDE}/base)
install(EXPORT NelkoCrashHandlerTargets NAMESPACE Nelko:: DESTINATION ${NELKO_INSTALL_CMAKE})

configure_package_config_file(cmake/NelkoCrashHandlerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package-config/NelkoCrashHandlerConfig.cmake
  INSTALL_DESTINATION ${NELKO_INSTALL_CMAKE}
  PATH_VARS NELKO_INSTALL_BIN)
# The version check also refuses a package of the other word size.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package-config/NelkoCrashHandlerConfigVersion.cmake
  VERSION ${NELKO_PACKAGE_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package-config/NelkoCrashHandlerConfig.cmake
              ${CMAKE_BINARY_DIR}/package-config/NelkoCrashHandlerConfigVersion.cmake
        DESTINATION ${NELKO_INSTALL_CMAKE})

# The package's test: install this build into a fresh prefix, then configure
# and build the sample game (examples/) against that prefix alone. The
# sample's end-to-end tests (SampleGame.*) run the game it builds.
if(NELKO_BUILD_TESTS)
  add_test(NAME package.sample_game_builds_against_the_installed_package
    COMMAND ${CMAKE_COMMAND} -DBINARY_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
            -P ${PROJECT_SOURCE_DIR}/cmake/TestPackage.cmake)
  set_tests_properties(package.sample_game_builds_against_the_installed_package PROPERTIES
    FIXTURES_SETUP sample_game TIMEOUT 1200)
endif()
