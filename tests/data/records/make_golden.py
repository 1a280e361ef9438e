#!/usr/bin/env python3
"""Writes the golden byte files of the driver/service records from the documented offsets alone.

Each record is filled with distinctive values at the offsets of the format table, independently of
the C++ structures, so a layout change in common/records.h cannot pass the record tests unnoticed.
Run from this folder; the outputs are committed.
"""
import struct


def put(buf, offset, fmt, value):
    struct.pack_into('<' + fmt, buf, offset, value)


def write(name, buf):
    with open(name + '.bin', 'wb') as f:
        f.write(bytes(buf))


b = bytearray(40)
put(b, 0, 'Q', 0x1122334455667788)
put(b, 8, 'Q', 0x0000100000002000)
put(b, 16, 'H', 0x0042)
put(b, 24, 'Q', 0x0000100000003000)
put(b, 32, 'H', 0x0064)
write('register_request', b)

b = bytearray(10)
put(b, 0, 'H', 6); put(b, 2, 'H', 2); put(b, 4, 'H', 9); put(b, 8, 'H', 2)
write('register_reply', b)

b = bytearray(8)
put(b, 0, 'H', 6); put(b, 2, 'H', 2); put(b, 4, 'I', 9)
write('version_reply', b)

b = bytearray(56)
for i, off in enumerate((0, 8, 16, 24)):
    put(b, off, 'Q', 0x7F0000001000 + 0x100 * i)
put(b, 32, 'I', 1024)
put(b, 40, 'Q', 0x7F0000001400)
put(b, 48, 'Q', 0x7F0000001500)
write('sc_input_request', b)

b = bytearray(24)
put(b, 0, 'Q', 0x0000000700000003)
put(b, 8, 'Q', 0x7F0000002000)
put(b, 16, 'I', 16)
put(b, 20, 'i', -5)
write('sc_output_request', b)

b = bytearray(12)
put(b, 0, 'Q', 0x0000000900000004)
write('sc_extend_request', b)

b = bytearray(112)
put(b, 0, 'Q', 4242)
put(b, 8, 'Q', 0x10000070); put(b, 16, 'I', 32)
put(b, 24, 'Q', 0x10000090); put(b, 32, 'I', 11)
put(b, 40, 'Q', 0x100000A0); put(b, 48, 'I', 7)
put(b, 56, 'Q', 0x100000B0); put(b, 64, 'I', 19)
put(b, 72, 'Q', 0x100000C0); put(b, 80, 'I', 28)
put(b, 88, 'Q', 0x100000E0); put(b, 96, 'I', 16)
put(b, 100, 'I', 3)
put(b, 104, 'I', 77)
put(b, 108, 'B', 1)
put(b, 109, 'B', 1)
write('policy_lookup_request', b)

b = bytearray(16)
put(b, 0, 'Q', 0x20000010); put(b, 8, 'I', 300)
write('policy_lookup_answer', b)

b = bytearray(8)
put(b, 0, 'Q', 0x30000008)
write('dns_name_request', b)

b = bytearray(16)
put(b, 0, 'Q', 0x40000010); put(b, 8, 'I', 5)
write('dns_address_answer', b)
