#!/usr/bin/python3
"""An independent SOAP client (zeep, from the simulator's WSDL) calls ReviseEkey.

usage: zeep_interop_test.py TOKEN_SERVICE_SIM
Exits 77 (skipped) when zeep is not installed.
"""

import hashlib
import hmac
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
SERIAL = "123456789"
SECRET = b"12345678901234567890"  # the demo token a fresh state file holds


def totp(secret, unix_time, digits=8):
    # RFC 6238 with HMAC-SHA1 and 30-second steps, written independently of the C++.
    counter = int(unix_time) // 30
    mac = hmac.new(secret, struct.pack(">Q", counter), hashlib.sha1).digest()
    offset = mac[-1] & 0x0F
    code = struct.unpack(">I", mac[offset:offset + 4])[0] & 0x7FFFFFFF
    return "%0*d" % (digits, code % 10 ** digits)


def read_port(proc, timeout=10.0):
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
            raise RuntimeError("simulator printed no port line")
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            raise RuntimeError("simulator ended: exit %s" % proc.wait())
        line += chunk
    prefix = b"listening on 127.0.0.1:"
    if not line.startswith(prefix):
        raise RuntimeError("unexpected first line %r" % line)
    return int(line[len(prefix):])


def main():
    try:
        import zeep
    except ImportError:
        print("SKIP: python3-zeep is not installed for %s" % sys.executable)
        return SKIP
    if len(sys.argv) != 2:
        print(__doc__)
        return 2

    with tempfile.TemporaryDirectory() as tmp:
        state = os.path.join(tmp, "tokens.state")
        proc = subprocess.Popen([sys.argv[1], "--state", state, "--port", "0"],
                                stdout=subprocess.PIPE)
        try:
            port = read_port(proc)
            url = "http://127.0.0.1:%d/keluserandhardwareservice.asmx?wsdl" % port
            client = zeep.Client(url)

            now = time.time()
            password = totp(SECRET, now)
            result = client.service.ReviseEkey(ekeysn=SERIAL, ekeydp1=password,
                                               ekeydp2=password)
            if result != 0:
                print("FAIL: current password gave %r, expected 0" % result)
                return 1

            wrong = totp(SECRET, now + 20 * 30)
            result = client.service.ReviseEkey(ekeysn=SERIAL, ekeydp1=wrong, ekeydp2=wrong)
            if not isinstance(result, int) or result == 0:
                print("FAIL: wrong password gave %r, expected non-zero" % result)
                return 1

            result = client.service.ReviseEkey(ekeysn=None, ekeydp1=None, ekeydp2=None)
            if result == 0:
                print("FAIL: nil parameters were accepted")
                return 1

            try:
                client.service.ReviseEkey(ekeysn="<" * 70000, ekeydp1="", ekeydp2="")
            except (zeep.exceptions.Fault, zeep.exceptions.TransportError):
                pass
            else:
                print("FAIL: an oversized request was answered normally")
                return 1
            print("PASS: zeep %s called ReviseEkey through the WSDL" % zeep.__version__)
            return 0
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    sys.exit(main())
