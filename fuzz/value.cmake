# Decoding arbitrary bytes as an element, and re-encoding what decodes.
tether_add_fuzzer(element_decode_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/element_decode_fuzzer.cpp
  LIBS zy_marshalling zy_platform
  DICT element.dict)
