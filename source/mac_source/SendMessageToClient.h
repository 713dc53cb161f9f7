// The one way to send a message to the host.
#ifndef ZY_SEND_MESSAGE_TO_CLIENT_H_
#define ZY_SEND_MESSAGE_TO_CLIENT_H_

#include <memory>

class ZyLuaTETable;

// Writes one frame named `name` with `messageId` (truncated to 32 bits) and
// `table` as payload (a nil payload when null) through the task's output.
// Callable from any thread; frames never interleave. The table stays the
// caller's. Logs "Sent message: <name>" whether or not a frame was written;
// frames sent before launching has finished are held and written then
// (TetherTask::publishForSending), ahead of every later frame.
void SendMessageToClient(long messageId, const char* name, ZyLuaTETable* table);

// A message the task sends many times a second (a live frame): written like
// SendMessageToClient, with id 0, but without its two log lines, and dropped
// rather than held before launching has finished. Takes the table and frees
// it once encoded, before the write, which may last as long as the host
// takes to read a payload larger than the pipe holds.
void SendFrequentMessageToClient(const char* name, std::unique_ptr<ZyLuaTETable> table);

// Bytes already written to the host that it has not read yet (a pipe's
// content); -1 when the output cannot tell, or before launching has finished.
long UnreadBytesAtClient();

#endif  // ZY_SEND_MESSAGE_TO_CLIENT_H_
