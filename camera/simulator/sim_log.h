// Diagnostic output of the simulated SDK. It goes to stderr only, and only
// when KRV_SIM_LOG=1: the library shares its process with a task whose
// stdout carries protocol frames, so it never writes to stdout.
#ifndef KRV_SIM_SIM_LOG_H_
#define KRV_SIM_SIM_LOG_H_

namespace krv_sim {

// Turns logging on or off for the whole library. Safe from any thread.
void SetLogEnabled(bool enabled);

// printf-style; writes "krv-sim: <text>\n" to stderr in a single write when
// logging is on, so lines from different threads never interleave.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace krv_sim

#endif  // KRV_SIM_SIM_LOG_H_
