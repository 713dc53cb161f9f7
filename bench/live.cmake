# Live view on the page: a frame's time from the simulated SDK's callback to
# a page's client socket through `serve`, against its time to the host end of
# the task's pipe alone, in one run.
add_executable(live_bench ${CMAKE_CURRENT_LIST_DIR}/live_bench.cpp ${CMAKE_SOURCE_DIR}/tests/host/web/http_probe.cpp)
target_link_libraries(live_bench PRIVATE tether_web tether_host_session Threads::Threads)
set_target_properties(live_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
target_compile_definitions(live_bench PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
add_dependencies(live_bench tether-task KRV_SDK)
