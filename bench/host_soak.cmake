# Soak of tether-host's tethered sessions (several at once, camera-side
# captures, reconnects), checked file by file, with the simulated camera SDK
# or the simulated PTP/IP camera through the libgphoto2 bridge.
#   bench/tether_host_soak [--camera sim|ptpip] [--captures N] [--sessions N]
#                          [--reconnect-every N]
add_executable(tether_host_soak ${CMAKE_CURRENT_LIST_DIR}/host_soak_main.cpp)
target_link_libraries(tether_host_soak PRIVATE Threads::Threads)
target_compile_definitions(tether_host_soak PRIVATE TETHER_TASK_PATH="$<TARGET_FILE:tether-task>"
                                                    TETHER_HOST_PATH="$<TARGET_FILE:tether-host>"
                                                    KRV_SIM_PTPIP_PATH="$<TARGET_FILE:krv-sim-ptpip>")
set_target_properties(tether_host_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(tether_host_soak tether-task tether-host KRV_SDK KRV_SDK_gphoto2 krv-sim-ptpip)

# 1000 camera-side captures through the libgphoto2 bridge with an unplug and
# replug every 100: about 40 s on a busy 2-core machine, so the plain build's
# tests run it whole. Benchmarks are not built in the sanitizer stages, where
# it would crawl. It checks counts and bytes, never time.
add_test(NAME host_soak_ptpip
  COMMAND tether_host_soak --camera ptpip --captures 1000 --reconnect-every 100)
set_tests_properties(host_soak_ptpip PROPERTIES LABELS soak TIMEOUT 900)
