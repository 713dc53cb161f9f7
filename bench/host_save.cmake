# Time from "fileDownloadComplete" to the file durable in the output folder,
# against a plain rename plus fsync in the same run.
#   bench/tether_host_save_bench [--pictures N] [--dng-bytes N] [--dir DIR]
add_executable(tether_host_save_bench ${CMAKE_CURRENT_LIST_DIR}/host_save_bench.cpp)
target_link_libraries(tether_host_save_bench PRIVATE tether_host_session Threads::Threads)
target_compile_definitions(tether_host_save_bench PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
set_target_properties(tether_host_save_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(tether_host_save_bench tether-task KRV_SDK)
