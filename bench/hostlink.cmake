# The host link: frames in (large bodies, many small frames in random reads)
# and a large frame out, each against a baseline measured in the same run.
tether_add_bench(hostlink_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostlink_bench.cpp
  LIBS zy_hostlink zy_accumulator)
