#!/usr/bin/env python3
"""A host written from the integrator's guide alone (docs/集成指南.md: the Linux host
link and the request kinds): starts the Linux gateway with its own window handle on the
Unix-socket host link and answers every request. The reply names the request by its
header line and echoes the record, so the handheld shows what the host read; an empty
T1.txt (KHKH, PYKH, ZKMD, XJJZ) is answered as KHKH. Ends the gateway (message 16) on
"quit", end of input or SIGTERM.
  host.py GATEWAY [KEEP]    (KEEP: a file every T1.txt read is appended to)"""
import os, select, signal, socket, struct, subprocess, sys, tempfile

MSG, CLOSE, REPLY_READY = 0x500, 16, 1
EMPTY_REPLY = "KHKH\r\n收到\r\n".encode("gbk")
OK = "收到\r\n".encode("gbk")


def name(handle):
    return b"\0orderlink/%d/hwnd/%d" % (os.getuid(), handle)


def main():
    gateway = os.path.abspath(sys.argv[1])
    txt = os.path.join(os.path.dirname(gateway), "TXT")
    me = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    handle = os.getpid()
    me.bind(name(handle))
    proc = subprocess.Popen([gateway, str(handle)])
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    gw = None

    def post(lparam):
        me.sendto(struct.pack("<III", MSG, 0, lparam), name(gw))

    inputs = [me, sys.stdin]
    while not stop and proc.poll() is None:
        try:
            ready, _, _ = select.select(inputs, [], [], 0.5)
        except InterruptedError:
            continue
        if sys.stdin in ready:
            line = sys.stdin.readline()
            if not line or line.strip() == "quit":
                break
        if me not in ready:
            continue
        data = me.recv(64)
        if len(data) != 12:
            continue
        msg, w, l = struct.unpack("<III", data)
        if msg != MSG:
            continue
        if w == l and w >= 17:  # the announcement: the gateway's own handle
            gw = w
            print("host: gateway announced handle %d" % gw, flush=True)
        elif (w, l) == (1, 1) and gw:
            with open(os.path.join(txt, "T1.txt"), "rb") as f:
                request = f.read()
            if len(sys.argv) > 2:
                with open(sys.argv[2], "ab") as keep:
                    keep.write(request)
            header, _, record = request.partition(b"\r\n")
            reply = header + b"\r\n" + OK + record if header else EMPTY_REPLY
            print("host: request %r" % (header.decode("gbk") or "(empty T1.txt)"), flush=True)
            # R1.txt must be whole before the notice: written beside it, then renamed.
            fd, tmp = tempfile.mkstemp(dir=txt, prefix=".R1-")
            with os.fdopen(fd, "wb") as f:
                f.write(reply)
            os.replace(tmp, os.path.join(txt, "R1.txt"))
            post(REPLY_READY)
    if proc.poll() is None and gw:
        post(CLOSE)
    elif proc.poll() is None:  # not announced yet: with this window gone, SIGTERM ends it
        me.close()
        proc.terminate()
    elif not gw:
        print("host: the gateway ended before announcing itself (one already running?)", flush=True)
    status = proc.wait()
    print("host: gateway exited with status %d" % status, flush=True)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
