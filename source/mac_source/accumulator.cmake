# The inbound side of the host link: frames cut from the bytes read, decoded
# and queued for dispatch.
add_library(zy_accumulator STATIC ${CMAKE_CURRENT_LIST_DIR}/ZyRCMessageAccumulator.cpp)
target_link_libraries(zy_accumulator PUBLIC zy_marshalling zy_platform)
