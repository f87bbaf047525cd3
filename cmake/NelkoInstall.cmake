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
set(NELKO_PACKAGE_CLIENT_HEADERS client/crash_catching_win.h client/crash_data_block_win.h
    client/crash_handler_client_win.h client/message_encoding.h client/protocol.h)
set(NELKO_PACKAGE_BASE_HEADERS base/scoped_handle_win.h)
install(FILES ${NELKO_PACKAGE_CLIENT_HEADERS} DESTINATION ${NELKO_INSTALL_INCLUDE}/client)
install(FILES ${NELKO_PACKAGE_BASE_HEADERS} DESTINATION ${NELKO_INSTALL_INCLUDE}/base)
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

# The package's test, part of the build: install this build into a fresh
# prefix (<build>/package), then configure and build the sample game
# (examples/) against that prefix alone, warnings as errors, into
# <build>/sample_game. Done again whenever the handler, the client library, a
# packaged header, the package's files or the sample change; a broken package
# fails the build. The sample's end-to-end tests (SampleGame.*) run the game.
if(NELKO_BUILD_TESTS)
  file(GLOB sample_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*)
  set(sample_game ${CMAKE_BINARY_DIR}/sample_game/sample_game.exe)
  add_custom_command(OUTPUT ${sample_game}
    COMMAND ${CMAKE_COMMAND} -DBINARY_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
            -P ${PROJECT_SOURCE_DIR}/cmake/TestPackage.cmake
    DEPENDS NelkoCrashHandler nelko_client ${NELKO_PACKAGE_CLIENT_HEADERS} ${NELKO_PACKAGE_BASE_HEADERS}
            ${sample_sources} cmake/NelkoInstall.cmake cmake/NelkoCrashHandlerConfig.cmake.in
            cmake/TestPackage.cmake
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Installing the package and building the sample game against it"
    VERBATIM)
  add_custom_target(sample_game ALL DEPENDS ${sample_game})
  if(TARGET client_win_test)
    add_dependencies(client_win_test sample_game)
  endif()
endif()
