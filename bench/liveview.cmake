# Live view against the task's other work: a capture during live view, and a
# host that reads no frames (memory, reply time). A report; ctest does not
# run it.
#   bench/liveview_bench [--captures N] [--requests N] [--quiet-seconds S]
# The capture figure on the libgphoto2 bridge with the simulated PTP/IP camera:
#   bench/liveview_ptpip_bench.py BUILD_DIR [CAPTURES]
add_executable(liveview_bench ${CMAKE_CURRENT_LIST_DIR}/liveview_bench.cpp)
target_link_libraries(liveview_bench PRIVATE tether_host_client Threads::Threads)
target_compile_definitions(liveview_bench PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
set_target_properties(liveview_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(liveview_bench tether-task KRV_SDK)
