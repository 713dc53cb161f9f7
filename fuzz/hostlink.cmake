# The host link under arbitrary input: framing in arbitrary chunkings, and
# decoded messages dispatched to the tether service with the simulated camera
# SDK running in process.

# -fsanitize=fuzzer instruments only the fuzz target's own sources; without
# coverage in the libraries under test libFuzzer would mutate blind. Our own
# libraries get the coverage hooks (not the simulated SDK: it stands in for a
# closed library, and its worker thread would add coverage that no input
# decides). The hooks are resolved by the sanitizer runtime, which every
# executable of a sanitizer build links.
if(TETHER_SANITIZE)
  foreach(lib zy_platform zy_marshalling zy_accumulator zy_hostlink tether_camera)
    target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
endif()

tether_add_fuzzer(accumulator_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/accumulator_fuzzer.cpp
  LIBS zy_accumulator zy_marshalling zy_platform
  DICT frames.dict)
tether_add_fuzzer(dispatch_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dispatch_fuzzer.cpp
  LIBS zy_hostlink
  DICT frames.dict)
