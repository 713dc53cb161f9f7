# The delegate with the outbound side of the host link (frames written whole to
# the task's output, SendMessageToClient), dispatch and the tether service.
# An object library, so that every consumer gets SendMessageToClient itself:
# the camera controller's static library refers to it without linking it.
add_library(zy_hostlink OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/TetherTask.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TetherTaskLifecycle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImageCaptureTetherService.cpp)
target_link_libraries(zy_hostlink PUBLIC
  tether_camera zy_accumulator zy_marshalling zy_platform KRV_SDK Qt5::Core)
