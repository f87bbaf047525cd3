# Benchmarks of the crash report: ToJson, CompressGzip and CacheReport on a
# typical and a worst-case report, each against a baseline in the same run.
if(NELKO_FUZZ)
  return()
endif()

add_library(nelko_report_workload STATIC ${CMAKE_CURRENT_LIST_DIR}/report_workload.cc)
target_link_libraries(nelko_report_workload PUBLIC nelko_report)

if(WIN32)
  # Google Benchmark is not built for Windows: a plain program times the
  # same workload, cache step included.
  add_executable(report_bench_win ${CMAKE_CURRENT_LIST_DIR}/report_bench_win.cc)
  target_link_libraries(report_bench_win PRIVATE nelko_report_workload)
elseif(TARGET benchmark::benchmark)
  add_executable(report_bench ${CMAKE_CURRENT_LIST_DIR}/report_bench.cc)
  target_link_libraries(report_bench PRIVATE nelko_report_workload benchmark::benchmark)
endif()
