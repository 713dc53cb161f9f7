// Platform exceptions (a name and a reason) and the assertion handler.
#ifndef ZY_PLATFORM_EXCEPTION_H_
#define ZY_PLATFORM_EXCEPTION_H_

#include <exception>
#include <string>

namespace zy {

// The name of the exception that a failed assertion raises.
extern const char* const kInternalInconsistencyException;

// A platform exception. Code that catches "platform exceptions" catches this
// type (and only this type); other throws pass through.
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);

  const std::string& name() const { return mName; }
  const std::string& reason() const { return mReason; }
  const char* what() const noexcept override { return mReason.c_str(); }

 private:
  std::string mName;
  std::string mReason;
};

// The assertion handler: logs one line naming the method, the object, the
// file and the line, followed by the description, then throws an Exception
// named kInternalInconsistencyException whose reason is the description.
// Where nobody catches it the process aborts. `file` may be null, in which
// case "<Unknown File>" is logged.
[[noreturn]] void HandleAssertionFailure(const char* method, const void* object, const char* file,
                                         int line, const std::string& description);

}  // namespace zy

#endif  // ZY_PLATFORM_EXCEPTION_H_
