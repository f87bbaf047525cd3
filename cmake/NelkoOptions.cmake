# Compile options shared by every target of the project (not by third-party code).
add_library(nelko_options INTERFACE)
target_compile_options(nelko_options INTERFACE -Wall -Wextra)
if(NELKO_WERROR)
  target_compile_options(nelko_options INTERFACE -Werror)
endif()
target_include_directories(nelko_options INTERFACE ${PROJECT_SOURCE_DIR})

if(WIN32)
  target_compile_definitions(nelko_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # Wine's dbghelp reads DWARF 4, not GCC 12's default DWARF 5.
  add_compile_options(-gdwarf-4)
endif()

if(NELKO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Where upload mode sends reports, built into the handler. The default names a
# host under the reserved ".invalid" domain, which never resolves, so no build
# made without a vendor's endpoint can send a report anywhere. Vendors set
# their https endpoint; the test presets set the local collector
# (tools/collector), "https://localhost:<port>".
set(NELKO_UPLOAD_BASE_URL "https://crash-reports.nelko.invalid" CACHE STRING
    "https base URL of the crash-analytics service (no trailing slash)")
if(NOT NELKO_UPLOAD_BASE_URL MATCHES "^https://[^\"\\\\ ]+[^/\"\\\\ ]$")
  message(FATAL_ERROR "NELKO_UPLOAD_BASE_URL must be an https URL without quotes, backslashes, blanks "
                      "or a trailing slash: '${NELKO_UPLOAD_BASE_URL}'")
endif()
# The port of the local collector that the upload tests run (tools/collector);
# a second one, with a certificate nobody trusts, listens on the next port.
# When the built-in endpoint is that collector ("https://localhost:<port>"),
# its port is the endpoint's and the tests that go through the built-in
# endpoint (upload mode of the real handler) are built too; with any other
# endpoint only the tests that name the collector's URL themselves are.
set(NELKO_COLLECTOR_PORT 47443 CACHE STRING
    "Port of the upload tests' local collector when the built-in endpoint is not on localhost")
set(NELKO_ENDPOINT_IS_COLLECTOR OFF)
if(NELKO_UPLOAD_BASE_URL MATCHES "^https://localhost:([0-9]+)$")
  set(NELKO_ENDPOINT_IS_COLLECTOR ON)
  set(NELKO_COLLECTOR_PORT ${CMAKE_MATCH_1})
endif()
# Where the collector of the upload tests stores what it received, and the
# test certificates that scripts/test-certs makes on this machine.
set(NELKO_COLLECTOR_STORE ${CMAKE_BINARY_DIR}/collector-store)
set(NELKO_TEST_CERT_DIR $ENV{HOME}/.cache/nelko/test-certs CACHE PATH
    "Test certificate authority and the collector's certificate (scripts/test-certs)")
