# Soak of tether-host's tethered sessions (several at once, camera-side
# captures, reconnects), checked file by file. A report, not a test.
#   bench/tether_host_soak [--captures N] [--sessions N] [--reconnect-every N]
add_executable(tether_host_soak ${CMAKE_CURRENT_LIST_DIR}/host_soak_main.cpp)
target_link_libraries(tether_host_soak PRIVATE Threads::Threads)
target_compile_definitions(tether_host_soak PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>"
                                                    TETHER_HOST_PATH="$<TARGET_FILE:tether-host>")
set_target_properties(tether_host_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(tether_host_soak tether-task tether-host KRV_SDK)
