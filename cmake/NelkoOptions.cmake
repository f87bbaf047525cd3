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
