# Soak run of the built task: many small captures and settings changes in one
# process, a host that checks every frame, and the task's memory and open
# descriptors at start and end. A report, not a test: ctest does not run it.
#   bench/tether_soak [--captures N] [--changes N] [--requests N] [--window N]
add_executable(tether_soak ${CMAKE_CURRENT_LIST_DIR}/soak_main.cpp)
target_link_libraries(tether_soak PRIVATE tether_host_client krv_sim_control Threads::Threads)
target_compile_definitions(tether_soak PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>")
set_target_properties(tether_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(tether_soak tether-task KRV_SDK)
