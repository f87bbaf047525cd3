# Benchmark of the command pipe: RecordLogMessage through a real pipe into the
# real handler, against two bare pipe readers in the same run. Windows only.
if(NELKO_FUZZ OR NOT WIN32)
  return()
endif()

add_executable(session_pipe_bench_win ${CMAKE_CURRENT_LIST_DIR}/session_pipe_bench_win.cc)
target_link_libraries(session_pipe_bench_win PRIVATE nelko_client)
add_dependencies(session_pipe_bench_win NelkoCrashHandler)
