# Crash-to-release latency of the real handler against a bare minidump of
# the same engine.
if(WIN32 AND NOT NELKO_FUZZ AND TARGET nelko_test_support)
  add_executable(crash_latency_bench_win ${CMAKE_CURRENT_LIST_DIR}/crash_latency_bench_win.cc)
  target_link_libraries(crash_latency_bench_win PRIVATE nelko_report nelko_test_support dbghelp)
  add_dependencies(crash_latency_bench_win NelkoCrashHandler test_engine)
endif()
