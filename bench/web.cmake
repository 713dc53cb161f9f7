# The live page beside a tethered session: the time from the task's file
# report to the page's event on a client's wire, and a burst of captures
# with a stalled page beside the same burst with none, in one run. The raw
# HTTP client is the tests' own, compiled in so the bench needs no test build.
tether_add_bench(web_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/web_bench.cpp ${CMAKE_SOURCE_DIR}/tests/host/web/http_probe.cpp
  LIBS tether_web tether_host_session krv_sim_control)
target_compile_definitions(web_bench PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
add_dependencies(web_bench tether-task KRV_SDK)
