"""A small PTP/IP camera for the libgphoto2 bridge's tests, for what the
simulated camera (krv-sim-ptpip) cannot be made to do: enough of the generic
PTP operations for libgphoto2 to open it, trigger a capture and download its
files, on loopback. Standard library only.

The test drives it directly: press() (the camera's own shutter),
never_complete (InitiateCapture accepted, nothing ever announced),
raw_claims (the size the raw's ObjectInfo gives instead of its own) and
fetched (the handles asked for with GetObject).
"""

import socket
import struct
import threading

# PTP/IP packet types.
INIT_COMMAND_REQUEST, INIT_COMMAND_ACK, INIT_EVENT_REQUEST, INIT_EVENT_ACK = 1, 2, 3, 4
CMD_REQUEST, CMD_RESPONSE, EVENT, START_DATA, DATA, END_DATA = 6, 7, 8, 9, 10, 12

OK, INVALID_OBJECT, PROP_NOT_SUPPORTED = 0x2001, 0x2009, 0x200A
EV_OBJECT_ADDED, EV_PROP_CHANGED, EV_CAPTURE_COMPLETE = 0x4002, 0x4006, 0x400D

OPS = [0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1007, 0x1008, 0x1009, 0x100A, 0x100B,
       0x100E, 0x1014, 0x1015, 0x1016]
EVENTS = [EV_OBJECT_ADDED, EV_PROP_CHANGED, EV_CAPTURE_COMPLETE]
STORAGE = 0x00010001
FOLDER = 1  # the one association, DCIM

UINT16, UINT32 = 0x0004, 0x0006


def ptp_string(text):
    if not text:
        return b"\0"
    chars = text + "\0"
    return struct.pack("<B", len(chars)) + chars.encode("utf-16-le")


def u16_array(values):
    return struct.pack("<I", len(values)) + b"".join(struct.pack("<H", v) for v in values)


def u32_array(values):
    return struct.pack("<I", len(values)) + b"".join(struct.pack("<I", v) for v in values)


class FakeCamera:
    def __init__(self, manufacturer="Testmaker", model="TM-1", raw_name="DSC_%04d.NEF",
                 jpeg=b"", raw=b"", thumb=b""):
        self.manufacturer = manufacturer
        self.model = model
        self.raw_name = raw_name  # None: JPEG only
        self.jpeg = jpeg          # b"": raw only
        self.raw = raw
        self.thumb = thumb        # b"": GetThumb fails
        # name: (code, datatype, value, enumeration)
        self.props = {0x5007: [UINT16, 560, [280, 400, 560, 800]],
                      0x500D: [UINT32, 40, [40, 80, 10000, 0xFFFFFFFF]],
                      0x500F: [UINT16, 400, [100, 400, 0xFFFF]],
                      0x5005: [UINT16, 4, [2, 4, 6]]}
        self.never_complete = False  # InitiateCapture announces nothing
        self.raw_claims = None       # the raw's size in its ObjectInfo, when set
        self.fetched = []            # handles asked for with GetObject
        self.objects = {}            # handle -> (name, bytes)
        self._next_handle = 0x100
        self._number = 0
        self._lock = threading.Lock()
        self._evt = None
        self._conns = []
        self._cmd_server = socket.socket()
        self._cmd_server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._cmd_server.bind(("127.0.0.1", 0))
        self._cmd_server.listen(4)
        self._evt_server = socket.socket()
        self._evt_server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._evt_server.bind(("127.0.0.1", 0))
        self._evt_server.listen(4)
        self.port = self._cmd_server.getsockname()[1]
        self.event_port = self._evt_server.getsockname()[1]
        self.address = "ptpip:127.0.0.1:%d:%d" % (self.port, self.event_port)
        self._plugged = threading.Event()
        self._plugged.set()
        self._closed = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    # ---- what the test does to the camera

    def press(self):
        """The camera's own shutter: new objects and their events."""
        with self._lock:
            self._number += 1
            number = self._number
            added = []
            if self.raw_name is not None:
                added.append(self._add(self.raw_name % number, self.raw))
            if self.jpeg:
                stem = (self.raw_name or "DSC_%04d.NEF") % number
                added.append(self._add(stem.rsplit(".", 1)[0] + ".JPG", self.jpeg))
        for handle in added:
            self._event(EV_OBJECT_ADDED, handle)
        self._event(EV_CAPTURE_COMPLETE)

    def drop(self):
        """Every connection closes, and none is accepted any more."""
        self._plugged.clear()
        with self._lock:
            conns, self._conns = self._conns, []
            self._evt = None
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.close()

    def close(self):
        self._closed = True
        self.drop()
        self._cmd_server.close()
        self._evt_server.close()

    # ---- the protocol

    def _add(self, name, data):
        handle = self._next_handle
        self._next_handle += 1
        self.objects[handle] = (name, data)
        return handle

    def _event(self, code, *params):
        packet = struct.pack("<IIHI", 14 + 4 * len(params), EVENT, code, 0xFFFFFFFF)
        packet += b"".join(struct.pack("<I", p) for p in params)
        with self._lock:
            evt = self._evt
        if evt is not None:
            try:
                evt.sendall(packet)
            except OSError:
                pass

    def _serve(self):
        while not self._closed:
            try:
                cmd, _ = self._cmd_server.accept()
            except OSError:
                return
            if not self._plugged.is_set():
                cmd.close()
                continue
            with self._lock:
                self._conns.append(cmd)
            threading.Thread(target=self._session, args=(cmd,), daemon=True).start()

    @staticmethod
    def _read(sock):
        header = b""
        while len(header) < 8:
            chunk = sock.recv(8 - len(header))
            if not chunk:
                raise ConnectionError
            header += chunk
        length, kind = struct.unpack("<II", header)
        body = b""
        while len(body) < length - 8:
            chunk = sock.recv(length - 8 - len(body))
            if not chunk:
                raise ConnectionError
            body += chunk
        return kind, body

    def _session(self, cmd):
        try:
            kind, _ = self._read(cmd)
            if kind != INIT_COMMAND_REQUEST:
                return
            name = "fake".encode("utf-16-le") + b"\0\0"
            cmd.sendall(struct.pack("<III", 8 + 4 + 16 + len(name), INIT_COMMAND_ACK, 1)
                        + b"\x11" * 16 + name)
            evt, _ = self._evt_server.accept()
            with self._lock:
                self._conns.append(evt)
            kind, _ = self._read(evt)
            evt.sendall(struct.pack("<II", 8, INIT_EVENT_ACK))
            with self._lock:
                self._evt = evt
            while True:
                kind, body = self._read(cmd)
                if kind != CMD_REQUEST:
                    continue
                _, code, tid = struct.unpack_from("<IHI", body)
                params = struct.unpack_from("<%dI" % ((len(body) - 10) // 4), body, 10)
                if code == 0x1016:  # SetDevicePropValue: read its data first
                    data = b""
                    while True:
                        k, b = self._read(cmd)
                        if k == START_DATA:
                            continue
                        data += b[4:]
                        if k == END_DATA:
                            break
                    response, out = self._set_prop(params[0], data)
                else:
                    response, out = self._answer(code, params, cmd, tid)
                if response is None:
                    return  # dropped
                if out is not None:
                    cmd.sendall(struct.pack("<IIIQ", 20, START_DATA, tid, len(out)))
                    cmd.sendall(struct.pack("<III", 12 + len(out), END_DATA, tid) + out)
                cmd.sendall(struct.pack("<IIHI", 14, CMD_RESPONSE, response, tid))
        except (ConnectionError, OSError):
            pass
        finally:
            cmd.close()

    def _answer(self, code, params, cmd, tid):
        if code in (0x1002, 0x1003):  # OpenSession, CloseSession
            return OK, None
        if code == 0x1001:  # GetDeviceInfo
            return OK, (struct.pack("<HIH", 100, 0, 0) + ptp_string("") + struct.pack("<H", 0)
                        + u16_array(OPS) + u16_array(EVENTS) + u16_array(sorted(self.props))
                        + u16_array([0x3801]) + u16_array([0x3801, 0xB000])
                        + ptp_string(self.manufacturer) + ptp_string(self.model)
                        + ptp_string("1.0") + ptp_string("0001"))
        if code == 0x1004:  # GetStorageIDs
            return OK, u32_array([STORAGE])
        if code == 0x1005:  # GetStorageInfo
            return OK, (struct.pack("<HHHQQI", 4, 2, 0, 1 << 34, 1 << 33, 1000)
                        + ptp_string("Card") + ptp_string("CARD"))
        if code == 0x1007:  # GetObjectHandles
            with self._lock:
                handles = list(self.objects) if params[2:3] == (FOLDER,) else []
            if params[2:3] in ((0,), (0xFFFFFFFF,)):
                handles = [FOLDER]
            return OK, u32_array(handles)
        if code == 0x1008:  # GetObjectInfo
            return self._object_info(params[0])
        if code in (0x1009, 0x100A):  # GetObject, GetThumb
            with self._lock:
                entry = self.objects.get(params[0])
            if entry is None:
                return INVALID_OBJECT, None
            if code == 0x100A:
                return (OK, self.thumb) if self.thumb else (0x2010, None)  # no thumbnail
            self.fetched.append(params[0])
            return OK, entry[1]
        if code == 0x100B:  # DeleteObject
            with self._lock:
                entry = self.objects.pop(params[0], None)
            return (OK if entry else INVALID_OBJECT), None
        if code == 0x100E:  # InitiateCapture
            if not self.never_complete:
                threading.Timer(0.05, self.press).start()
            return OK, None
        if code == 0x1014:  # GetDevicePropDesc
            return self._prop_desc(params[0])
        if code == 0x1015:  # GetDevicePropValue
            with self._lock:
                prop = self.props.get(params[0])
            if prop is None:
                return PROP_NOT_SUPPORTED, None
            return OK, struct.pack("<H" if prop[0] == UINT16 else "<I", prop[1])
        return 0x2005, None  # operation not supported

    def _object_info(self, handle):
        if handle == FOLDER:
            return OK, (struct.pack("<IHHIHIIIIIIIHII", STORAGE, 0x3001, 0, 0, 0, 0, 0, 0,
                                    0, 0, 0, 0, 1, 0, 0)
                        + ptp_string("DCIM") + ptp_string("") + ptp_string("") + ptp_string(""))
        with self._lock:
            entry = self.objects.get(handle)
        if entry is None:
            return INVALID_OBJECT, None
        name, data = entry
        fmt = 0x3801 if name.upper().endswith(".JPG") else 0xB000
        size = len(data) if fmt == 0x3801 or self.raw_claims is None else self.raw_claims
        return OK, (struct.pack("<IHHIHIIIIIIIHII", STORAGE, fmt, 0, size, 0x3801,
                                len(self.thumb), 160, 120, 640, 480, 24, FOLDER, 0, 0, 0)
                    + ptp_string(name) + ptp_string("20260101T120000")
                    + ptp_string("20260101T120000") + ptp_string(""))

    def _prop_desc(self, code):
        with self._lock:
            prop = self.props.get(code)
            if prop is None:
                return PROP_NOT_SUPPORTED, None
            kind, value, choices = prop[0], prop[1], list(prop[2])
        f = "<H" if kind == UINT16 else "<I"
        return OK, (struct.pack("<HHB", code, kind, 1) + struct.pack(f, value)
                    + struct.pack(f, value) + struct.pack("<BH", 2, len(choices))
                    + b"".join(struct.pack(f, c) for c in choices))

    def _set_prop(self, code, data):
        with self._lock:
            prop = self.props.get(code)
            if prop is None:
                return PROP_NOT_SUPPORTED, None
            prop[1] = struct.unpack("<H" if prop[0] == UINT16 else "<I", data)[0]
        return OK, None
