# The outbound side of the host link: frames written whole to the task's
# output, and SendMessageToClient.
add_library(zy_hostlink STATIC ${CMAKE_CURRENT_LIST_DIR}/TetherTask.cpp)
target_link_libraries(zy_hostlink PUBLIC zy_marshalling zy_platform)
