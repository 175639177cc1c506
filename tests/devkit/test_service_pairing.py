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
from devkit_support import (NOT_ACCEPTED, PAYLOAD, Sandbox, free_port, raw,  # noqa: E402
                            request)


def terms_structure(page):
    """(data-version, number of check boxes inside main, has a .how element)."""
    main = re.search(r'<main[^>]*data-version="([^"]*)"[^>]*>(.*?)</main>', page, re.S)
    if not main:
        return None
    boxes = re.findall(r'<input[^>]*type="checkbox"', main.group(2))
    return main.group(1), len(boxes), 'class="how"' in page


def websocket(port):
    """An open WebSocket to /church: the socket, after the 101 answer."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET /church HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n" % key).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += s.recv(1)
    assert head.startswith(b"HTTP/1.1 101 "), head
    return s


def read_all(s):
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk
    except (socket.timeout, ConnectionResetError):
        return data


class Service(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        try:
            releases = cls.box.root / "releases"
            releases.mkdir()
            (releases / "latest.json").write_text(
                '{"version": "2.0.1", "sha256": "ab", "file": "Quendrel-2.0.1.img", "x": 1}')
            (releases / "Quendrel-2.0.1.img").write_bytes(b"\0image\xff" * 1000)
            cls.proc, cls.port, cls.code = cls.box.start_service(
                "--releases", str(releases), "--code", "123456")
            cls.box.lay_down()
            rc, out = cls.box.script("setup.sh")
            assert rc == 0, out
        except BaseException:
            cls.box.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def address(self):
        return "ws://127.0.0.1:%d/church" % self.port

    def new_code(self, query=""):
        status, _, body = request(self.port, "/codes/new" + query)
        self.assertEqual(status, 200)
        self.assertRegex(body.decode(), r"^\d{6}\n$")
        return body.decode().strip()

    def test_pages_and_feed(self):
        self.assertEqual(self.code, "123456")
        status, headers, page = request(self.port, "/terms")
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

    def test_feed_absent(self):
        proc, port, _ = self.box.start_service()
        self.assertEqual(request(port, "/app/latest")[0], 404)
        self.assertEqual(request(port, "/app/download")[0], 404)
        proc.terminate()
        proc.wait(10)

    def test_pairing(self):
        uplink = self.box.desk / "presets/.uplink"
        with self.subTest("the right code pairs and is stored privately"):
            rc, out = self.box.pair(self.address(), "123456", "2025-04")
            self.assertEqual(rc, 0, out)
            self.assertIn("now connected to St Brigid's", out)
            stored = json.loads(uplink.read_text("utf-8"))
            self.assertTrue(stored["token"])
            self.assertEqual(stored["terms"], "2025-04")
            self.assertEqual(stat.S_IMODE(uplink.stat().st_mode), 0o600)
        with self.subTest("a used code is refused"):
            before = uplink.read_bytes()
            self.assertEqual(self.box.pair(self.address(), "123456"), (1, NOT_ACCEPTED + "\n"))
            self.assertEqual(uplink.read_bytes(), before)
        with self.subTest("a wrong code is refused"):
            wrong = "000000" if self.code != "000000" else "111111"
            self.assertEqual(self.box.pair(self.address(), wrong), (1, NOT_ACCEPTED + "\n"))
            self.assertEqual(self.box.pair(self.address(), "12a456"), (1, NOT_ACCEPTED + "\n"))
        with self.subTest("a minted code works once, an empty terms version is fine"):
            code = self.new_code()
            self.assertEqual(self.box.pair(self.address(), code, "")[0], 0)
            self.assertEqual(self.box.pair(self.address(), code)[0], 1)
        with self.subTest("digits of another script count as digits"):
            code = self.new_code()
            arabic = "".join(chr(0x660 + int(d)) for d in code)
            self.assertEqual(self.box.pair(self.address(), arabic)[0], 0)
        with self.subTest("a lapsed code is refused"):
            rc, out = self.box.pair(self.address(), self.new_code("?lasts=0"))
            self.assertEqual(rc, 1)
            self.assertIn("has run out", out)
        with self.subTest("no service: a plain sentence"):
            rc, out = self.box.pair("ws://127.0.0.1:%d/church" % free_port(), "123456")
            self.assertEqual(rc, 1)
            self.assertIn("Could not reach the Quendrel service", out)
            self.assertEqual(len(out.strip().splitlines()), 1)
        with self.subTest("a wrong address: a plain sentence"):
            rc, out = self.box.pair("ws://127.0.0.1:%d/elsewhere" % self.port, "123456")
            self.assertEqual(rc, 1)
            self.assertIn("does not pair computers at that address", out)

    def test_hostile_input(self):
        port = self.port
        self.assertRegex(raw(port, b"NONSENSE\r\n\r\n"), rb"^HTTP/1\.[01] 400 ")
        big = (b"POST /church HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
               % (10 << 20)) + b"x" * (10 << 20)
        self.assertRegex(raw(port, big), rb"^HTTP/1\.1 413 ")
        self.assertRegex(raw(port, b"PUT /terms HTTP/1.1\r\nHost: x\r\n\r\n"), rb"^HTTP/1\.1 405 ")
        with self.subTest("an unmasked frame is closed with a reason"):
            s = websocket(port)
            s.sendall(b"\x81\x05hello")
            answer = read_all(s)
            s.close()
            self.assertEqual(answer[0], 0x88)
            self.assertEqual(struct.unpack("!H", answer[2:4])[0], 1002)
            self.assertIn(b"mask", answer)
        with self.subTest("a frame announcing 10 MiB is refused"):
            s = websocket(port)
            s.sendall(b"\x81\xff" + struct.pack("!Q", 10 << 20) + b"mask")
            answer = read_all(s)
            s.close()
            self.assertEqual(struct.unpack("!H", answer[2:4])[0], 1009)
        with self.subTest("a frame cut short and a message that is not a request"):
            s = websocket(port)
            s.sendall(b"\x81\x85ab")
            s.close()
            s = websocket(port)
            payload = b"[1, 2]"
            s.sendall(b"\x81" + bytes([0x80 | len(payload)]) + b"\0\0\0\0" + payload)
            answer = read_all(s)
            s.close()
            self.assertEqual(struct.unpack("!H", answer[2:4])[0], 1003)
        code = self.new_code()
        self.assertEqual(self.box.pair(self.address(), code)[0], 0)


if __name__ == "__main__":
    unittest.main()
