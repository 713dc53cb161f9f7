# The executable bin/tether-task. It finds the camera SDK in ../Frameworks
# through its run path, so the built tree works wherever it is.
add_executable(tether-task ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(tether-task PRIVATE zy_hostlink)
set_target_properties(tether-task PROPERTIES
  BUILD_WITH_INSTALL_RPATH ON
  INSTALL_RPATH "$ORIGIN/../Frameworks")
