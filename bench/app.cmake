# The handler's start-up, from process start to its first wait on the engine,
# against an empty program of the same build started the same way.
if(WIN32 AND NOT NELKO_FUZZ)
  add_executable(empty_program_win ${CMAKE_CURRENT_LIST_DIR}/empty_program_win.cc)
  target_link_libraries(empty_program_win PRIVATE nelko_options)
  add_executable(startup_bench_win ${CMAKE_CURRENT_LIST_DIR}/startup_bench_win.cc)
  target_link_libraries(startup_bench_win PRIVATE nelko_options user32)
  add_dependencies(startup_bench_win NelkoCrashHandler empty_program_win)
endif()
