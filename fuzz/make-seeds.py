#!/usr/bin/env python3
"""Writes the seed inputs of the fuzzers into corpus/<fuzzer>/ next to this script.

Each seed is a small, readable case: a well-formed exchange to start the fuzzer deep in the
phases, and the irregular shapes the readers must survive (stray flags, wrong codes, broken
frames, overlong lines, frames that are too long)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(body):
    reg = 0xFFFF
    for b in body:
        reg ^= b
        for _ in range(8):
            reg = (reg >> 1) ^ 0x8408 if reg & 1 else reg >> 1
    return (~reg) & 0xFFFF


def frame(body):
    fcs = crc16(body)
    out = bytearray([0x7E])
    for b in bytes(body) + bytes([fcs & 0xFF, fcs >> 8]):
        out += bytes([0x7D, b ^ 0x20]) if b in (0x7E, 0x7D) else bytes([b])
    out.append(0x7E)
    return bytes(out)


def w(fuzzer, name, data):
    os.makedirs(os.path.join(HERE, 'corpus', fuzzer), exist_ok=True)
    with open(os.path.join(HERE, 'corpus', fuzzer, name), 'wb') as f:
        f.write(data)


# HEX reader: the first byte moves the decoder's length value; the whole input is the file.
rec = b":10000000000102030405060708090A0B0C0D0E0F78\r\n"
w('hex_reader', 'records-crlf', b"\x00" + b":020000040000FA\r\n" + rec * 3 +
  b":0C8F4000000102030405060708090A0B00\r\n:0C0F4000000102030405060708090A0B00\r\n"
  b":04000005AABBCCDD00\r\n:00000001FF\r\n")
w('hex_reader', 'bare-lf', b"\x00" + rec.replace(b"\r\n", b"\n") * 2)
w('hex_reader', 'lowercase-and-junk', b"\x05" + b":10000000aabbccddeeff00112233445566778899zz\r\n"
  b":1\r\n\r\n:100000\r\n" + rec + b":1000")
w('hex_reader', 'long-line', b"\x01" + b":00" + b"0" * 140 + b"\r\n" + rec + b":10" + b"F" * 150 + b"\r\n")
w('hex_reader', 'wide-records', b"\x02" + b":2000000000" + b"11" * 32 + b"00\r\n" +
  b":1F8000" + b"00" + b"22" * 31 + b"00\r\n")

# Responses: the first byte picks the phase to start with (0 programmer upload .. 7 last image),
# the rest is what the handset answers.
ack = bytes.fromhex("7E026AD37E")
hello = frame(bytes([0x02]) + b"QCOM fast download protocol targ" + bytes([3, 3, 9, 0, 0, 0, 0]))
read = frame(bytes([0x04, 0x20, 0, 0, 0, 0x34, 0]) + bytes(52))
sec = bytes.fromhex("7E18B16C7E")
part = frame(bytes([0x1A, 0x00]))


def open_answer(status=0):
    return frame(bytes([0x1C, status]))


def stream_answer(offset):
    return frame(bytes([0x08]) + struct.pack('<I', offset))


close = frame(bytes([0x16]))
upload = ack * 3  # two write packets and the go answer
oem = open_answer() + stream_answer(0) + stream_answer(1024) + stream_answer(2048) + close
amss = open_answer() + stream_answer(0) + close
apps = open_answer() + stream_answer(0) + close
w('responses', 'whole-run', bytes([0]) + upload + hello + read + sec + part + oem + amss + apps)
w('responses', 'handshake', bytes([1]) + hello + read + sec)
w('responses', 'hello-case', bytes([1]) + frame(bytes([0x02]) + b"qcom FAST download protocol TARG" + bytes(7)))
w('responses', 'stray-flag', bytes([1]) + b"\x7e" + hello)
w('responses', 'noise-before', bytes([2]) + b"\x01\x02\x03" + read + sec + part)
for status in range(6):
    w('responses', 'partition-status-%d' % status, bytes([4]) + frame(bytes([0x1A, status])))
w('responses', 'partition-foreign', bytes([4]) + frame(bytes([0x0E, 0])))
for status in range(6):
    w('responses', 'open-status-%d' % status, bytes([5]) + open_answer(status) + stream_answer(0) +
      stream_answer(1024) + stream_answer(2048) + close)
w('responses', 'late-answers', bytes([5]) + open_answer() + b"\x00" * 60 + stream_answer(1024) +
  stream_answer(0) + stream_answer(2048) + close)
w('responses', 'close-bad', bytes([6]) + open_answer() + stream_answer(0) + frame(bytes([0x0E])))
w('responses', 'broken-frame', bytes([3]) + b"\x7e\x18\xb1")
w('responses', 'images', bytes([5]) + oem + amss + apps)


# kITL: awaited type, awaited data length (little-endian), then the stream.
def ksum(b):
    return sum(b) & 0xFF


def kframe(kind, data, reserved=0):
    h = bytearray(b"kITL" + bytes([kind, reserved]) + struct.pack('<H', len(data)) + bytes([ksum(data), 0]))
    h[9] = ksum(h[:9])
    return bytes(h) + bytes(data)


ann = kframe(0xBB, bytes(range(36)))
ackf = kframe(0xDD, bytes(4))
w('kitl', 'announce', bytes([0xBB, 36, 0]) + ann)
w('kitl', 'ack-after-noise', bytes([0xDD, 4, 0]) + b"\x01\x02kIT" + ann + ackf + kframe(0xDD, bytes(5)))
w('kitl', 'stray-k', bytes([0xDD, 4, 0]) + b"k" + ackf + ackf)
bad = bytearray(ackf)
bad[9] ^= 1
w('kitl', 'bad-header', bytes([0xDD, 4, 0]) + bytes(bad) + ackf)
w('kitl', 'long-length', bytes([0xCC, 0xF0, 5]) + kframe(0xCC, bytes(1520))[:10] + kframe(0xDD, bytes(4)))
big = bytearray(kframe(0xAA, b""))
big[6], big[7] = 0xF1, 0x05
big[9] = ksum(big[:9])
w('kitl', 'over-1520', bytes([0xDD, 4, 0]) + bytes(big) + ackf)
w('kitl', 'empty-frame', bytes([0x01, 0, 0]) + kframe(0x01, b"") + kframe(0x01, b"", reserved=0x55))
w('kitl', 'repeat', bytes([0xDD, 4, 0]) + ann + ackf + ann + kframe(0xDD, b"\x01\x02\x03\x04"))

# HDLC: two bytes taken off the worst-case capacity, then the body.
w('hdlc', 'plain', b"\x00\x00\x01hello")
w('hdlc', 'escapes', b"\x03\x00\x19\x00\x7e\x7d\x7e\x7d")
w('hdlc', 'fcs-escape', b"\x00\x00\x0f\x00\xa1\x7d\x60")
w('hdlc', 'tight', b"\x10\x00" + bytes([0x07]) + bytes([0x7E] * 40))
