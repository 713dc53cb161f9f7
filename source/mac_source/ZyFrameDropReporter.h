// The seam through which the inbound accumulator tells what it drops: each
// frame it gives up on as malformed, and why. The default reporter writes the
// log line; tests and tools put their own in its place.
#ifndef ZY_FRAME_DROP_REPORTER_H_
#define ZY_FRAME_DROP_REPORTER_H_

struct CRCMessage;

class ZyFrameDropReporter {
 public:
  virtual ~ZyFrameDropReporter() = default;

  // Called on the accumulator's thread (the main thread), during the pass that
  // drops the frame, before the record is freed. `frame` is borrowed for the
  // call: its id and length field, and its name when that was decoded.
  // `why` is a short reason ("negative length", the decoder's own reason).
  virtual void frameWasDropped(const CRCMessage& frame, const char* why) = 0;

  // The default: logs "ZyRCMessageAccumulator: dropping malformed message
  // <id>: <why>". Lives until the process ends.
  static ZyFrameDropReporter& logReporter();
};

#endif  // ZY_FRAME_DROP_REPORTER_H_
