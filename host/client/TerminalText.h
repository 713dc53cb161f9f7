// Text from a camera, a task or a file name made safe to print on a
// terminal: control characters (C0, DEL, C1 whether as UTF-8 or as a lone
// byte) and bytes that are not UTF-8 become '?', so a name can never move
// the cursor, set the window title or start an escape sequence. Printable
// UTF-8 stays as it is.
#ifndef TETHER_HOST_TERMINAL_TEXT_H_
#define TETHER_HOST_TERMINAL_TEXT_H_

#include <string>

namespace tether_host {

std::string SafeForTerminal(const std::string& text);

}  // namespace tether_host

#endif  // TETHER_HOST_TERMINAL_TEXT_H_
