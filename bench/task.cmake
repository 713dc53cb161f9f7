# The whole task's latencies against its built-in delays, and its idle CPU.
tether_add_bench(task_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/task_bench.cpp
  LIBS tether_host_client)
target_compile_definitions(task_bench PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
add_dependencies(task_bench tether-task KRV_SDK)
