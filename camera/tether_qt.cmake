# The camera controller over the SDK's C interface. The SDK (KRV_SDK_*) and the
# host link (SendMessageToClient) stay unresolved here: the executable links the
# real ones, tests and benchmarks link fakes of their own.
add_library(tether_camera STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Tether_qt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Tether_qt.h
  ${CMAKE_CURRENT_LIST_DIR}/CameraModels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CameraSettingsText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferNames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImageFileWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LiveFrameSender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OptionalSdk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingChoices.cpp)
set_target_properties(tether_camera PROPERTIES AUTOMOC ON)
target_link_libraries(tether_camera PUBLIC Qt5::Core zy_marshalling zy_platform)
