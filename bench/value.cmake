# Encoding and decoding of a small settings table and of bulk data, against
# memcpy of the same bytes measured in the same run.
tether_add_bench(element_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/element_bench.cpp
  LIBS zy_marshalling zy_platform)
