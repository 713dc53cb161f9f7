// The control socket's handlers for the PTP/IP camera (the `ptpip` column of
// the command table in control_commands.cpp). Each parses its arguments
// (words[0] is the command's name) and returns "ok ..." / "error ...", or
// nullopt when the arguments do not fit the usage.
#ifndef KRV_SIM_PTPIP_PTPIP_CONTROL_H_
#define KRV_SIM_PTPIP_PTPIP_CONTROL_H_

#include "camera/simulator/control_commands.h"

namespace krv_sim {

ControlReply PtpipHelp(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipPing(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipState(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipCapture(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipOrientation(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipSize(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipDngBytes(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipQuality(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipDial(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipReadOnly(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipUnplug(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipPlug(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipDelay(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipChunkDelay(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipCardLimit(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipBusy(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipRawFormat(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipFiles(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipOrder(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipComplete(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipThumb(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipObjects(PtpipCamera* camera, const CommandWords& w);
ControlReply PtpipObject(PtpipCamera* camera, const CommandWords& w);

}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTPIP_CONTROL_H_
