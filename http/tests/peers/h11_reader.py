"""Reads answers with h11, as a client that sent a GET, and prints what it made of each.

Input file: for each answer its length in decimal, a newline, then its bytes. Output: one line per answer,
"ok <status> <body in hex or -> <bytes left after the answer>", or "error". The peer's close follows every
answer. h11's limit on an incomplete head is raised past the reader's own limits, so that the two are
compared on grammar and framing, not on limits.
"""
import sys

import h11


def read_answers(path):
    data = open(path, "rb").read()
    at = 0
    while at < len(data):
        newline = data.index(b"\n", at)
        size = int(data[at:newline])
        yield data[newline + 1:newline + 1 + size]
        at = newline + 1 + size


def outcome(answer):
    conn = h11.Connection(h11.CLIENT, max_incomplete_event_size=16 * 1024 * 1024)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "h")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(answer)
    conn.receive_data(b"")
    status = None
    body = b""
    try:
        while True:
            event = conn.next_event()
            if isinstance(event, h11.InformationalResponse):
                continue
            if isinstance(event, h11.Response):
                status = event.status_code
            elif isinstance(event, h11.Data):
                body += event.data
            elif isinstance(event, h11.EndOfMessage):
                left, _ = conn.trailing_data
                return "ok %d %s %d" % (status, body.hex() or "-", len(left))
            else:
                return "error"
    except h11.RemoteProtocolError:
        return "error"


def main():
    for answer in read_answers(sys.argv[1]):
        print(outcome(answer))


main()
