"""The stand-in service's pages and feed, and pairing through engine.uplink."""

import base64
import json
import os
import re
import socket
import stat
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devkit_support import PAYLOAD, Sandbox, free_port, raw, request  # noqa: E402

PAIRING_SCRIPT = """import asyncio, sys
from engine.uplink import pair
r = asyncio.run(pair(sys.argv[1], sys.argv[2], 'presets/.uplink', sys.argv[3]))
print(r['message'])
sys.exit(0 if r['ok'] else 1)"""

NOT_ACCEPTED = (1, "That code was not accepted. Codes last an hour and work once "
                   "— ask for another.\n")


def terms_structure(page):
    """(data-version, number of check boxes inside main, has a .how element)."""
    main = re.search(r'<main[^>]*data-version="([^"]*)"[^>]*>(.*?)</main>', page, re.S)
    boxes = re.findall(r'<input[^>]*type="checkbox"', main.group(2))
    return main.group(1), len(boxes), 'class="how"' in page


def websocket(port):
    """An open WebSocket to /church: the socket, after the 101 answer."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(("GET /church HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n" % base64.b64encode(os.urandom(16)).decode())
              .encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += s.recv(1)
    assert head.startswith(b"HTTP/1.1 101 "), head
    return s


class Service(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox(set_up=True)
        try:
            releases = cls.box.root / "releases"
            releases.mkdir()
            (releases / "latest.json").write_text(
                '{"version": "2.0.1", "sha256": "ab", "file": "Quendrel-2.0.1.img", "x": 1}')
            (releases / "Quendrel-2.0.1.img").write_bytes(b"\0image\xff" * 1000)
            cls.proc, cls.port, cls.code = cls.box.start_service(
                "--releases", str(releases), "--code", "123456")
        except BaseException:
            cls.box.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def pair(self, code, terms="2025-04", address=None):
        address = address or "ws://127.0.0.1:%d/church" % self.port
        return self.box.run([self.box.desk / ".venv/bin/python", "-c", PAIRING_SCRIPT, address,
                             code, terms])

    def new_code(self, query=""):
        status, _, body = request(self.port, "/codes/new" + query)
        self.assertRegex(body.decode(), r"^\d{6}\n$")
        return body.decode().strip()

    def test_pages_and_feed(self):
        self.assertEqual(self.code, "123456")
        status, _, page = request(self.port, "/terms")
        self.assertEqual(status, 200)
        service_terms = terms_structure(page.decode("utf-8"))
        own_terms = terms_structure((PAYLOAD / "ui/terms.html").read_text("utf-8"))
        self.assertTrue(service_terms[1] >= 2 and service_terms[2])
        self.assertTrue(own_terms[1] >= 2 and own_terms[2])
        self.assertNotEqual(service_terms[0], own_terms[0])
        latest = (self.box.root / "releases/latest.json").read_bytes()
        self.assertEqual(request(self.port, "/app/latest")[2], latest)
        self.assertEqual(request(self.port, "/app/download")[2], b"\0image\xff" * 1000)
        self.assertEqual(request(self.port, "/nothing")[0], 404)
        self.assertEqual(request(self.port, "/church")[0], 426)
        _, port, _ = self.box.start_service()
        self.assertEqual(request(port, "/app/latest")[0], 404, "a service without releases")
        self.assertEqual(request(port, "/app/download")[0], 404)

    def test_pairing(self):
        uplink = self.box.desk / "presets/.uplink"
        rc, out = self.pair("123456")
        self.assertEqual(rc, 0, out)
        self.assertIn("now connected to St Brigid's", out)
        stored = json.loads(uplink.read_text("utf-8"))
        self.assertTrue(stored["token"])
        self.assertEqual(stored["terms"], "2025-04")
        self.assertEqual(stat.S_IMODE(uplink.stat().st_mode), 0o600)
        before = uplink.read_bytes()
        for code in ["123456", "000000", "12a456"]:  # used, wrong, not digits
            self.assertEqual(self.pair(code), NOT_ACCEPTED)
        self.assertEqual(uplink.read_bytes(), before)
        code = self.new_code()
        self.assertEqual(self.pair(code, "")[0], 0, "a minted code, an empty terms version")
        self.assertEqual(self.pair(code)[0], 1, "it works once")
        arabic = "".join(chr(0x660 + int(d)) for d in self.new_code())
        self.assertEqual(self.pair(arabic)[0], 0, "digits of another script count as digits")
        for code, address, said in [
                (self.new_code("?lasts=0"), None, "has run out"),
                ("123456", "ws://127.0.0.1:%d/church" % free_port(),
                 "Could not reach the Quendrel service"),
                ("123456", "ws://127.0.0.1:%d/elsewhere" % self.port,
                 "does not pair computers at that address")]:
            rc, out = self.pair(code, address=address)
            self.assertEqual(rc, 1)
            self.assertIn(said, out)
            self.assertEqual(len(out.strip().splitlines()), 1, "a plain sentence")

    def test_hostile_input(self):
        port = self.port
        big = (b"POST /church HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
               % (10 << 20)) + b"x" * (10 << 20)
        for data, answer in [(b"NONSENSE\r\n\r\n", rb"^HTTP/1\.[01] 400 "),
                             (big, rb"^HTTP/1\.1 413 "),
                             (b"PUT /terms HTTP/1.1\r\nHost: x\r\n\r\n", rb"^HTTP/1\.1 405 ")]:
            self.assertRegex(raw(port, data), answer)
        with websocket(port) as cut:
            cut.sendall(b"\x81\x85ab")  # a frame cut short
        request_frame = b"\x81\x86\0\0\0\0[1, 2]"  # a message that is not a request
        for frame, closed in [(b"\x81\x05hello", 1002),  # unmasked
                              (b"\x81\xff" + struct.pack("!Q", 10 << 20) + b"mask", 1009),
                              (request_frame, 1003)]:
            answer = raw(port, frame, websocket(port))
            self.assertEqual(answer[0], 0x88)
            self.assertEqual(struct.unpack("!H", answer[2:4])[0], closed)
        self.assertEqual(self.pair(self.new_code())[0], 0, "the service goes on")


if __name__ == "__main__":
    unittest.main()
