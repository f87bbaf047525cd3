# Command-pipe throughput: RecordLogMessage through a real pipe into the real
# handler, against a block-reading baseline fed by the same writer.
if(WIN32 AND NOT NELKO_FUZZ)
  add_executable(session_pipe_bench_win ${CMAKE_CURRENT_LIST_DIR}/session_pipe_bench_win.cc)
  target_link_libraries(session_pipe_bench_win PRIVATE nelko_client nelko_session)
  add_dependencies(session_pipe_bench_win NelkoCrashHandler)
endif()
