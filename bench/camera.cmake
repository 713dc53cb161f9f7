# The end of a large DNG transfer through the camera controller against a
# plain write-and-rename of the same bytes.
tether_add_bench(camera_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_bench.cpp
  LIBS tether_camera)
