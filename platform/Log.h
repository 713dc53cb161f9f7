// The platform log: one line per entry on standard error, never on standard
// output (which carries protocol frames only).
#ifndef ZY_PLATFORM_LOG_H_
#define ZY_PLATFORM_LOG_H_

#include <functional>
#include <string>
#include <string_view>

namespace zy {

// Formats like printf and writes the result as one line. Safe from any
// thread: each entry leaves in a single write, so entries never interleave.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes `text` as one line. Embedded newlines are kept as they are.
void LogText(std::string_view text);

// Test seam: while a sink is set, entries go to it instead of stderr. The sink
// is called on the logging thread and must be thread-safe itself. Pass an
// empty function to restore stderr.
using LogSink = std::function<void(std::string_view line)>;
void SetLogSink(LogSink sink);

}  // namespace zy

#endif  // ZY_PLATFORM_LOG_H_
