# A rating's durable sidecar (first and re-rating) against a plain write+fsync of a new file of the same bytes.
#   bench/tether_rating_bench [--rounds N] [--dir DIR]
add_executable(tether_rating_bench ${CMAKE_CURRENT_LIST_DIR}/rating_bench.cpp)
target_link_libraries(tether_rating_bench PRIVATE tether_host_saving)
set_target_properties(tether_rating_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
