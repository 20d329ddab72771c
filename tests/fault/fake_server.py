#!/usr/bin/env python3
"""A message server that breaks its answers on purpose, for the fault runs.

It speaks the driver's framing like drvtirval-server (MsgAccepted to the introduction,
MsgEventAck to an event record, MsgPoll to anything else) but spoils every N-th answer in one
way that the simulator does not offer (--limit caps how many, so that a run can drain):

  garbage    21 random bytes that are no frame header
  marker     a whole answer frame whose marker byte is wrong
  oversized  a frame header announcing a body of 2^31 - 1 bytes, and nothing after it
  cut        the first half of the answer frame; the next answers follow as usual
  reset      the first half of the answer frame, then the connection is reset (RST)
  eof        the first half of the answer frame, then the connection is closed (FIN)
  slow       no answer is spoiled, but every answer goes out --delay-ms late; unlike the
             simulator's delay, every message is read and printed the moment it arrives, so
             the output shows all that reached the server even when it is stopped

Prints 'listening on 127.0.0.1:PORT' first, then one line per message received, event records
as 'event number=N object=N zone=Z', and 'spoiled MODE' for every spoiled answer.
Listens on 127.0.0.1 only; one connection at a time, a new one replaces the old.
Ends on SIGTERM or SIGINT with status 0.
"""

import argparse
import os
import random
import select
import signal
import socket
import struct
import sys
import time

MSG_POLL = 0x02000000
MSG_INTRODUCTION = 0x02000001
MSG_ACCEPTED = 0x02000003
MSG_EVENT_RECORD = 0x03000042
MSG_EVENT_ACK = 0x03000043

FRAME_HEADER = struct.Struct("<BIiQi")  # marker, reserved, body length, reserved, length copy
MESSAGE_HEADER = struct.Struct("<BIiqB")  # 0xFF, type, payload length, number, 0xFE
MAX_BODY = 16 * 1024 * 1024
MODES = ("garbage", "marker", "oversized", "cut", "reset", "eof", "slow")


def build_frame(msg_type, number, payload=b"", marker=0xFF):
    body = MESSAGE_HEADER.pack(0xFF, msg_type, len(payload), number, 0xFE) + payload
    return FRAME_HEADER.pack(marker, 0, len(body), 0, len(body)) + body


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class FakeServer:
    def __init__(self, args):
        self.args = args
        self.random = random.Random(args.seed)
        self.client = None
        self.input = bytearray()
        self.answers = 0
        self.spoiled = 0
        self.late_answers = []  # (when due, frame), oldest first
        self.answer_number = 0
        self.stopping = False

    def drop_client(self, reset=False):
        if self.client is None:
            return
        if reset:
            # A zero linger turns the close into a reset.
            self.client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.client.close()
        self.client = None
        self.input.clear()
        self.late_answers.clear()
        say("connection reset" if reset else "connection closed")

    def send(self, data):
        try:
            self.client.sendall(data)
            return True
        except OSError:
            self.drop_client()
            return False

    def answer(self, received_type):
        self.answers += 1
        if received_type == MSG_INTRODUCTION:
            answer_type = MSG_ACCEPTED
        elif received_type == MSG_EVENT_RECORD:
            answer_type = MSG_EVENT_ACK
        else:
            answer_type = MSG_POLL
        frame = build_frame(answer_type, self.answer_number)
        self.answer_number += 1
        if self.args.mode == "slow":
            self.late_answers.append((time.monotonic() + self.args.delay_ms / 1000.0, frame))
            return
        spoil = (self.answers >= self.args.first and self.answers % self.args.every == 0 and
                 (self.args.limit == 0 or self.spoiled < self.args.limit))
        if not spoil:
            self.send(frame)
            return
        mode = self.args.mode
        self.spoiled += 1
        say("spoiled " + mode)
        if mode == "garbage":
            junk = bytes(self.random.choice(range(0x00, 0xF0)) for _ in range(FRAME_HEADER.size))
            self.send(junk)
        elif mode == "marker":
            self.send(build_frame(answer_type, self.answer_number, marker=0x7E))
        elif mode == "oversized":
            self.send(FRAME_HEADER.pack(0xFF, 0, 0x7FFFFFFF, 0, 0x7FFFFFFF))
        else:
            if self.send(frame[: len(frame) // 2]) and mode in ("reset", "eof"):
                self.drop_client(reset=(mode == "reset"))

    def take_input(self):
        while self.client is not None and len(self.input) >= FRAME_HEADER.size:
            marker, _, length, _, _ = FRAME_HEADER.unpack_from(self.input)
            if marker not in (0xFF, 0xF0) or length < MESSAGE_HEADER.size or length > MAX_BODY:
                say("bad-frame header=" + self.input[: FRAME_HEADER.size].hex(" ").upper())
                self.drop_client()
                return
            if len(self.input) < FRAME_HEADER.size + length:
                return
            body = bytes(self.input[FRAME_HEADER.size : FRAME_HEADER.size + length])
            del self.input[: FRAME_HEADER.size + length]
            start, msg_type, payload_length, number, end = MESSAGE_HEADER.unpack_from(body)
            payload = body[MESSAGE_HEADER.size :]
            if start != 0xFF or end != 0xFE or payload_length != len(payload):
                say("bad-message body=" + body.hex(" ").upper())
                continue
            if msg_type == MSG_EVENT_RECORD and len(payload) >= 27:
                obj = struct.unpack_from("<i", payload, 0)[0]
                say("event number=%d object=%d zone=%d" % (number, obj, payload[18]))
            else:
                say("type=0x%08X number=%d" % (msg_type, number))
            self.answer(msg_type)

    def run(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind(("127.0.0.1", self.args.port))
        except OSError as error:
            print("fake_server: cannot listen on 127.0.0.1:%d: %s" % (self.args.port, error),
                  file=sys.stderr)
            return 1
        listener.listen(4)
        say("listening on 127.0.0.1:%d" % listener.getsockname()[1])
        wake_read, wake_write = os.pipe()
        os.set_blocking(wake_write, False)

        def on_signal(_signum, _frame):
            self.stopping = True
            try:
                os.write(wake_write, b"x")
            except OSError:
                pass

        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGINT, on_signal)
        while not self.stopping:
            while self.client is not None and self.late_answers and \
                    self.late_answers[0][0] <= time.monotonic():
                self.send(self.late_answers.pop(0)[1])
            timeout = None
            if self.late_answers:
                timeout = max(0.0, self.late_answers[0][0] - time.monotonic())
            watched = [wake_read, listener] + ([self.client] if self.client else [])
            try:
                ready, _, _ = select.select(watched, [], [], timeout)
            except InterruptedError:
                continue
            if wake_read in ready:
                break
            if listener in ready:
                connection, _ = listener.accept()
                self.drop_client()
                self.client = connection
                say("connection accepted")
            if self.client is not None and self.client in ready:
                try:
                    data = self.client.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    self.drop_client()
                    continue
                self.input.extend(data)
                self.take_input()
        self.drop_client()
        listener.close()
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any)")
    parser.add_argument("--mode", choices=MODES, required=True, help="how to spoil an answer")
    parser.add_argument("--every", type=int, default=10, help="spoil every N-th answer")
    parser.add_argument("--first", type=int, default=1, help="spoil no answer before this one")
    parser.add_argument("--delay-ms", type=int, default=1500, help="answer delay of --mode slow")
    parser.add_argument("--limit", type=int, default=0,
                        help="spoil no more than this many answers, then answer well (0: no limit)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the garbage bytes")
    args = parser.parse_args()
    if args.every < 1 or args.first < 1 or args.limit < 0 or not 0 <= args.port <= 65535:
        parser.error("--every and --first take numbers from 1, --limit from 0, --port 0..65535")
    return FakeServer(args).run()


if __name__ == "__main__":
    sys.exit(main())
