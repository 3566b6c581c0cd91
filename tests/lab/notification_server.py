"""A loopback scheduler whose notifications misbehave, in a process of its
own:

    python3 notification_server.py MODE COUNTS

It answers CUPS-Get-Printers (one idle printer, "hq"), CUPS-Get-Default and
the subscription operations; Get-Notifications as MODE says. It prints its
port on its first line, then serves until killed, and keeps COUNTS (a JSON
file) up to date: requests by operation, and events sent."""

import json
import os
import socket
import struct
import sys
import threading
import time

from hostile_peer import (attribute, end_with_parent, http_answer, integer, printer_group,
                          read_request, response)

MODES = {
    "quiet": "no event ever",
    "endless": "500 new events in every answer",
    "jump": "one event numbered 2**31 - 1, then the same again",
    "garbage": "Get-Notifications answered with bytes that are not IPP",
    "drip": "Get-Notifications answered a byte every 200 ms",
}
EVENTS_PER_ANSWER = 500
NAMES = {0x4002: "CUPS-Get-Printers", 0x4001: "CUPS-Get-Default", 0x0016: "Create",
         0x001A: "Renew", 0x001B: "Cancel", 0x001C: "Get-Notifications"}

lock = threading.Lock()
counts = {"events": 0}
sequence = [0]


def publish(path):
    with lock:
        with open(path + ".tmp", "w") as f:
            f.write(json.dumps(counts))
        os.replace(path + ".tmp", path)


def notifications(request_id, mode):
    groups = []
    if mode == "endless":
        for _ in range(EVENTS_PER_ANSWER):
            sequence[0] += 1
            groups.append((0x07, attribute(0x21, "notify-subscription-id", integer(7))
                           + attribute(0x21, "notify-sequence-number", integer(sequence[0]))
                           + attribute(0x44, "notify-subscribed-event", "printer-state-changed")
                           + attribute(0x21, "printer-up-time", integer(int(time.time())))
                           + attribute(0x42, "printer-name", "hq")))
        counts["events"] += EVENTS_PER_ANSWER
    elif mode == "jump":
        groups.append((0x07, attribute(0x21, "notify-subscription-id", integer(7))
                       + attribute(0x21, "notify-sequence-number", integer(2 ** 31 - 1))
                       + attribute(0x44, "notify-subscribed-event", "printer-state-changed")))
        counts["events"] += 1
    # The operation group also says when to ask again, and the time now.
    body = struct.pack(">BBHI", 2, 0, 0, request_id) + b"\x01"
    body += attribute(0x47, "attributes-charset", "utf-8")
    body += attribute(0x48, "attributes-natural-language", "en")
    body += attribute(0x21, "notify-get-interval", integer(60))
    body += attribute(0x21, "printer-up-time", integer(int(time.time())))
    for tag, content in groups:
        body += bytes([tag]) + content
    return body + b"\x03"


def answer(request, mode):
    operation, request_id = struct.unpack(">HI", request[2:8]) if len(request) >= 8 else (0, 1)
    name = NAMES.get(operation, "other")
    with lock:
        counts[name] = counts.get(name, 0) + 1
    if operation == 0x4002:
        return response(request_id, 0, [(0x04, printer_group("ok", "hq"))])
    if operation == 0x4001:
        return response(request_id, 0, [(0x04, attribute(0x42, "printer-name", "hq"))])
    if operation == 0x0016:
        return response(request_id, 0, [(0x06, attribute(0x21, "notify-subscription-id",
                                                         integer(7)))])
    if operation == 0x001C:
        with lock:
            return notifications(request_id, mode)
    return response(request_id, 0, [])


def serve(connection, mode, counts_path):
    try:
        while True:
            request = read_request(connection)
            if request is None:
                return
            operation = struct.unpack(">H", request[2:4])[0] if len(request) >= 4 else 0
            body = answer(request, mode)
            publish(counts_path)
            if operation == 0x001C and mode == "garbage":
                connection.sendall(http_answer(b"\xff" * 64))
            elif operation == 0x001C and mode == "drip":
                for byte in http_answer(body):
                    connection.sendall(bytes([byte]))
                    time.sleep(0.2)
            else:
                connection.sendall(http_answer(body))
    except OSError:
        pass
    finally:
        connection.close()


def main(argv):
    mode, counts_path = argv
    if mode not in MODES:
        sys.exit(__doc__)
    end_with_parent()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    publish(counts_path)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, mode, counts_path), daemon=True).start()


if __name__ == "__main__":
    main(sys.argv[1:])
