# The stack walk of crash processing over a real engine with 256 threads
# parked in chains of 10 to 40 frames: set-up, symbols loaded on first use,
# and the cost of each further thread.
if(WIN32 AND NOT NELKO_FUZZ)
  add_executable(stack_walk_bench_win ${CMAKE_CURRENT_LIST_DIR}/stack_walk_bench_win.cc)
  target_link_libraries(stack_walk_bench_win PRIVATE nelko_capture)
  add_dependencies(stack_walk_bench_win test_engine managed_runtime_stub)
endif()

# Crash-to-release latency of the real handler against a bare minidump of
# the same engine, with threads parked in chains of 10 to 40 frames.
if(WIN32 AND NOT NELKO_FUZZ AND TARGET nelko_test_support)
  add_executable(crash_latency_bench_win ${CMAKE_CURRENT_LIST_DIR}/crash_latency_bench_win.cc)
  target_link_libraries(crash_latency_bench_win PRIVATE nelko_report nelko_test_support dbghelp)
  add_dependencies(crash_latency_bench_win NelkoCrashHandler test_engine managed_runtime_stub)
endif()
