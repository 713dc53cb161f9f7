# The host link under arbitrary input: framing in arbitrary chunkings, and
# decoded messages dispatched to the tether service with the simulated camera
# SDK running in process.

tether_add_fuzzer(accumulator_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/accumulator_fuzzer.cpp
  LIBS zy_accumulator zy_marshalling zy_platform
  DICT frames.dict)
tether_add_fuzzer(dispatch_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_fuzzer.cpp
  LIBS zy_hostlink
  DICT frames.dict)
