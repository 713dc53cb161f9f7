# The simulated PTP/IP camera's packet layer under a hostile host. Its sources
# are compiled into the fuzzer itself so that they carry coverage (the rest of
# the simulator does not).

tether_add_fuzzer(ptpip_packet_fuzzer
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/ptpip_packet_fuzzer.cpp
    ${CMAKE_SOURCE_DIR}/camera/simulator/ptpip/ptpip_packet.cpp
    ${CMAKE_SOURCE_DIR}/camera/simulator/ptpip/ptp_data.cpp)
