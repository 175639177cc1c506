"""Pairing this computer with the church's account on the Quendrel service.

`pair(address, code, path, terms)` opens a WebSocket to the service's pairing
address (ws:// or wss://), sends the six-digit code and the version of the
terms the user agreed to, and stores what the service hands back (the
church's name and a token) in `path`, relative to the working directory,
readable by the user only. It never raises: it answers
{"ok": bool, "message": text}, where the message is a sentence for the user.

The conversation is one JSON text message each way:
  desk    -> service  {"type": "pair", "code": "123456", "terms": "...", ...}
  service -> desk     {"ok": true, "church": "...", "token": "..."}
                   or {"ok": false, "message": "..."}
"""

import asyncio
import base64
import datetime
import hashlib
import json
import os
import platform
import secrets
import ssl
import struct
import unicodedata
import urllib.parse

CONNECT_TIMEOUT = 15.0
ANSWER_TIMEOUT = 30.0
MAX_MESSAGE = 64 * 1024
GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

NOT_ACCEPTED = ("That code was not accepted. Codes last an hour and work once "
                "— ask for another.")
NO_NETWORK = ("Could not reach the Quendrel service. Check that this computer "
              "is connected to the internet, then try again.")
TOO_SLOW = ("The Quendrel service did not answer in time. Check the internet "
            "connection and try again.")
NOT_SECURE = ("Could not make a secure connection to the Quendrel service. "
              "Check that this computer's date and time are right, then try again.")
GARBLED = ("The Quendrel service gave an answer this computer did not understand. "
           "Try again in a few minutes, or ask for a new code.")


class Refused(Exception):
    """The conversation failed; the text is the sentence for the user."""


def _version():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        with open(os.path.join(here, "VERSION"), encoding="utf-8") as f:
            words = f.read().split()
            return words[0] if words else ""
    except (OSError, UnicodeDecodeError):
        return ""


def _plain_code(code):
    """Digits typed in any script become ASCII digits; anything else stays."""
    out = []
    for ch in str(code).strip():
        digit = unicodedata.decimal(ch, None)
        out.append(str(digit) if digit is not None else ch)
    return "".join(out)


# ---------------------------------------------------------------- WebSocket

async def _handshake(reader, writer, host_header, resource):
    key = base64.b64encode(secrets.token_bytes(16)).decode("ascii")
    request = ("GET %s HTTP/1.1\r\n"
               "Host: %s\r\n"
               "Upgrade: websocket\r\n"
               "Connection: Upgrade\r\n"
               "Sec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\n"
               "User-Agent: Quendrel-desk/%s\r\n"
               "\r\n" % (resource, host_header, key, _version() or "0"))
    writer.write(request.encode("ascii"))
    await writer.drain()
    try:
        head = await reader.readuntil(b"\r\n\r\n")
    except asyncio.LimitOverrunError:
        raise Refused(GARBLED)
    except asyncio.IncompleteReadError:
        raise Refused("The Quendrel service closed the connection before answering. "
                      "Try again in a few minutes.")
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/"):
        raise Refused(GARBLED)
    if parts[1] != "101":
        if parts[1] in ("404", "426", "400"):
            raise Refused("The Quendrel service does not pair computers at that "
                          "address (it answered %s). Download Quendrel again." % parts[1])
        raise Refused("The Quendrel service is not taking connections right now "
                      "(it answered %s). Try again in a few minutes." % parts[1][:3])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    expected = base64.b64encode(
        hashlib.sha1((key + GUID).encode("ascii")).digest()).decode("ascii")
    if headers.get("sec-websocket-accept") != expected:
        raise Refused(GARBLED)


def _frame(opcode, payload):
    """One masked frame, as a client must send it."""
    head = bytes([0x80 | opcode])
    size = len(payload)
    if size < 126:
        head += bytes([0x80 | size])
    elif size < 65536:
        head += bytes([0x80 | 126]) + struct.pack("!H", size)
    else:
        head += bytes([0x80 | 127]) + struct.pack("!Q", size)
    mask = secrets.token_bytes(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


async def _read_frame(reader):
    first, second = await reader.readexactly(2)
    fin, opcode = first & 0x80, first & 0x0F
    size = second & 0x7F
    if size == 126:
        size = struct.unpack("!H", await reader.readexactly(2))[0]
    elif size == 127:
        size = struct.unpack("!Q", await reader.readexactly(8))[0]
    if size > MAX_MESSAGE:
        raise Refused(GARBLED)
    mask = await reader.readexactly(4) if second & 0x80 else None
    payload = await reader.readexactly(size)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return fin, opcode, payload


async def _read_message(reader, writer):
    """The next text message; pings are answered, a close becomes Refused."""
    parts, total = [], 0
    while True:
        fin, opcode, payload = await _read_frame(reader)
        if opcode == 0x9:                       # ping
            writer.write(_frame(0xA, payload))
            await writer.drain()
            continue
        if opcode == 0xA:                       # pong
            continue
        if opcode == 0x8:                       # close, maybe with a reason
            reason = payload[2:].decode("utf-8", "replace").strip()
            raise Refused(reason if reason.endswith(".") else
                          "The Quendrel service closed the connection. "
                          "Try again in a few minutes.")
        if opcode not in (0x0, 0x1):
            raise Refused(GARBLED)
        parts.append(payload)
        total += len(payload)
        if total > MAX_MESSAGE:
            raise Refused(GARBLED)
        if fin:
            try:
                return b"".join(parts).decode("utf-8")
            except UnicodeDecodeError:
                raise Refused(GARBLED)


# ---------------------------------------------------------------- storing

def _store(path, record):
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, mode=0o700, exist_ok=True)
    temp = "%s.new-%d" % (path, os.getpid())
    try:
        os.unlink(temp)
    except FileNotFoundError:
        pass
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(record, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, 0o600)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


# ---------------------------------------------------------------- pairing

async def _converse(address, code, terms):
    url = urllib.parse.urlsplit(address)
    if url.scheme not in ("ws", "wss") or not url.hostname:
        raise Refused("This copy of Quendrel has a wrong service address (%s). "
                      "Download it again." % address)
    secure = url.scheme == "wss"
    try:
        port = url.port or (443 if secure else 80)
    except ValueError:
        raise Refused("This copy of Quendrel has a wrong service address (%s). "
                      "Download it again." % address)
    resource = url.path or "/"
    if url.query:
        resource += "?" + url.query
    host_header = url.netloc.rpartition("@")[2]
    context = ssl.create_default_context() if secure else None
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection(url.hostname, port, ssl=context,
                                    server_hostname=url.hostname if secure else None,
                                    limit=MAX_MESSAGE),
            CONNECT_TIMEOUT)
    except asyncio.TimeoutError:
        raise Refused(TOO_SLOW)
    except ssl.SSLError:
        raise Refused(NOT_SECURE)
    except OSError:
        raise Refused(NO_NETWORK)
    try:
        async def talk():
            await _handshake(reader, writer, host_header, resource)
            hello = {"type": "pair", "code": code, "terms": terms,
                     "desk": _version(), "computer": platform.node()[:80]}
            writer.write(_frame(0x1, json.dumps(hello).encode("utf-8")))
            await writer.drain()
            text = await _read_message(reader, writer)
            try:
                writer.write(_frame(0x8, struct.pack("!H", 1000)))
                await writer.drain()
            except OSError:
                pass
            return text
        text = await asyncio.wait_for(talk(), ANSWER_TIMEOUT)
    except asyncio.TimeoutError:
        raise Refused(TOO_SLOW)
    except asyncio.IncompleteReadError:
        raise Refused("The Quendrel service closed the connection before answering. "
                      "Try again in a few minutes.")
    except ssl.SSLError:
        raise Refused(NOT_SECURE)
    except OSError:
        raise Refused(NO_NETWORK)
    finally:
        writer.close()
        try:
            await asyncio.wait_for(writer.wait_closed(), 2)
        except (OSError, asyncio.TimeoutError, ssl.SSLError):
            pass
    try:
        answer = json.loads(text)
    except ValueError:
        raise Refused(GARBLED)
    if not isinstance(answer, dict) or not isinstance(answer.get("ok"), bool):
        raise Refused(GARBLED)
    return answer


async def pair(address, code, path, terms):
    """Pair this computer with the church's account; see the module's notes."""
    try:
        code = _plain_code(code)
        if len(code) != 6 or not code.isascii() or not code.isdigit():
            return {"ok": False, "message": NOT_ACCEPTED}
        terms = "" if terms is None else str(terms)
        answer = await _converse(address, code, terms)
        if not answer["ok"]:
            message = answer.get("message")
            if not isinstance(message, str) or not message.strip():
                message = NOT_ACCEPTED
            return {"ok": False, "message": " ".join(message.split())[:500]}
        church, token = answer.get("church"), answer.get("token")
        if not isinstance(token, str) or not token or not isinstance(church, str):
            raise Refused(GARBLED)
        record = {"church": church, "token": token, "service": address,
                  "terms": terms,
                  "paired": datetime.datetime.now(datetime.timezone.utc)
                  .replace(microsecond=0).isoformat()}
        try:
            _store(path, record)
        except OSError as e:
            return {"ok": False,
                    "message": "This computer was connected, but the connection could "
                               "not be saved in %s: %s. Ask for a new code and try "
                               "again." % (path, e.strerror or e)}
        name = " ".join(church.split())[:120]
        return {"ok": True, "message": "This computer is now connected to %s."
                % (name or "your church's account")}
    except Refused as e:
        return {"ok": False, "message": str(e)}
    except Exception as e:      # never let a surprise become a traceback
        return {"ok": False,
                "message": "Something unexpected went wrong while connecting: %s" % e}
