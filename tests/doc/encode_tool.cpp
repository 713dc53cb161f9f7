// Prints, for each line of standard input holding a value or frame in the
// notation of doc/protocol.md, the bytes the task writes for it, as lowercase
// hex on one line; "error: <why>" for a line it cannot read. The Python
// client's tests compare their own encoder with it.
#include <iostream>
#include <stdexcept>
#include <string>

#include "platform/Log.h"
#include "tests/doc/value_notation.h"

int main() {
  zy::SetLogSink([](std::string_view) {});  // the output side logs every frame
  std::string line;
  while (std::getline(std::cin, line)) {
    try {
      static const char* digits = "0123456789abcdef";
      std::string hex;
      for (unsigned char c : tether_doc::EncodeAsTask(tether_doc::ParseNotation(line))) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
      }
      std::cout << hex << '\n';
    } catch (const std::exception& e) {
      std::cout << "error: " << e.what() << '\n';
    }
  }
  return 0;
}
