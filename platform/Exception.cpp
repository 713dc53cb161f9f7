#include "platform/Exception.h"

#include "platform/Log.h"

namespace zy {

const char* const kInternalInconsistencyException = "NSInternalInconsistencyException";

Exception::Exception(std::string name, std::string reason)
    : mName(std::move(name)), mReason(std::move(reason)) {}

void HandleAssertionFailure(const char* method, const void* object, const char* file, int line,
                            const std::string& description) {
  Log("*** Assertion failure in %s (object %p), %s:%d: %s", method ? method : "?", object,
      file ? file : "<Unknown File>", line, description.c_str());
  throw Exception(kInternalInconsistencyException, description);
}

}  // namespace zy
