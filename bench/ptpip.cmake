# The libgphoto2 bridge against the simulated PTP/IP camera, in Python
# (standard library only): a capture's download against Debian's gphoto2,
# the peak memory of a 100 MB raw, idle CPU against the simulated SDK. Each is
# a script beside this file; bench/<name> runs it on this build:
#   bench/ptpip_download_bench [ROUNDS]
#   bench/ptpip_memory_bench [MEGABYTES]
#   bench/ptpip_idle_bench [SECONDS] [ROUNDS]
# `make ptpip_benches` builds what they run.
if(NOT TETHER_PYTHON)
  set(TETHER_PYTHON /usr/bin/python3)
endif()
foreach(name ptpip_download_bench ptpip_memory_bench ptpip_idle_bench)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/scripts/${name}
    "#!/bin/sh\nexec ${TETHER_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/${name}.py ${CMAKE_BINARY_DIR} \"$@\"\n")
  file(COPY ${CMAKE_CURRENT_BINARY_DIR}/scripts/${name} DESTINATION ${CMAKE_BINARY_DIR}/bench
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
endforeach()
add_custom_target(ptpip_benches)
add_dependencies(ptpip_benches tether-task KRV_SDK KRV_SDK_gphoto2 krv-sim-ptpip krv-sim-ctl)
