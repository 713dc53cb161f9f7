# The inbound side of the host link: frames cut from the bytes read, decoded
# and queued for dispatch, and the seam that reports the frames dropped.
add_library(zy_accumulator STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ZyRCMessageAccumulator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ZyFrameDropReporter.cpp)
target_link_libraries(zy_accumulator PUBLIC zy_marshalling zy_platform)
