#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/ (run from anywhere)."""
import os
import shutil

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))


def u16(v):
    return bytes([v & 0xFF, v >> 8 & 0xFF])


def descriptors(product=0x2A, packet=64):
    device = bytes([18, 1]) + u16(0x0110) + bytes([0, 0, 0, 8]) + u16(0x0C5B) + u16(product) + u16(0x0100) + bytes([1, 2, 0, 1])
    c = bytearray([9, 2, 0, 0, 3, 1, 0, 0xA0, 50])
    def iface(n, alt, eps):
        c.extend([9, 4, n, alt, eps, 0xFF, 0, 0, 0])
    def ep(addr, attr, interval):
        c.extend([7, 5, addr, attr] + list(u16(packet)) + [interval])
    iface(0, 0, 0); iface(1, 0, 0)
    iface(2, 0, 2); ep(0x81, 2, 0); ep(0x02, 2, 0)
    iface(2, 1, 2); ep(0x81, 3, 1); ep(0x02, 3, 1)
    c[2:4] = u16(len(c))
    return device, bytes(c)


def desc_seed(flags, service, device, config):
    return bytes([flags]) + bytes(service) + bytes([len(device)]) + device + config


def write(target, name, data):
    d = os.path.join(here, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


dev, conf = descriptors()
write('descriptors', 'master', desc_seed(0x40, [0, 0, 0], dev, conf))
dev2, conf2 = descriptors(0x2B, 8)
write('descriptors', 'slave_bulk_packet8', desc_seed(0x49 | 0x10, [0, 0, 0], dev2, conf2))
lying = bytearray(conf); lying[2:4] = u16(0xFFFF)
write('descriptors', 'service_lying_total', desc_seed(0x60, [2, 1, 0], dev, bytes(lying)))
write('descriptors', 'truncated_config', desc_seed(0x40, [0, 0, 0], dev, conf[:20]))
write('descriptors', 'short_device', desc_seed(0x40, [0, 0, 0], dev[:8], conf))

identity = bytes([0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A, 0x00, 0x01, 0x00]) + b'2.24' + bytes([0xF7])
device_id = bytes([0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00, 0x00, 0xF7])
write('in_stream', 'traffic', bytes([0x00, 0x00,
                                     0x45, 0x00, 0x45, 0x01,     # busy, ready during the bring-up
                                     0xE0, 0xFF, 0,              # the traffic's clock starts
                                     0xE0, 0, 0,                 # client open-all
                                     0xE0, 5, 16,                # a file read of 17
                                     0xC5, 2, 0x90, 0x3C, 0x7F,  # the unit sends
                                     0x45, 0x00, 0x45, 0x01,     # busy, ready
                                     0x61, 0xA1,                 # zero-length, all FF
                                     0xE2, 2, 3,                 # client write
                                     0x05, 3, 0x90, 0x40, 0x7F,  # a short packet
                                     0xE5, 6, 0]))               # the read's outcome
write('in_stream', 'silent_replies_given', bytes([0x01, 0x00, 0x22, len(identity)]) + identity +
      bytes([0x23, len(device_id)]) + device_id + bytes([0xE0, 0xFF, 0, 0xE0, 0, 0, 0x25, 3, 0x90, 0x3C, 0x7F]))
write('in_stream', 'oversized_packet8', bytes([0x00, 0x04, 0x85, 10, 0x90, 0xE0, 0xFF, 0, 0xE0, 0, 0, 0x85, 200, 0xF0, 0x21, 4, 0x90, 0x3C, 0x7F, 0xF0]))

write('file_handle', 'open_write_read', bytes([0, 0x00, 0x03, 3, 0, 1, 0, 0x90, 0x06, 2, 0x90, 0x3C, 0x7F,
                                               0x02, 16, 0, 1, 0, 0x05, 10, 0x01]))
write('file_handle', 'two_handles_control', bytes([0, 0x00, 0x08, 0x04, 0, 0, 24, 0, 24, 0, 1, 1, 0,
                                                   0x0A, 100, 0, 3, 10, 0x07, 0x09, 0x02, 8, 0, 1, 0, 0x01]))
write('file_handle', 'bad_buffers', bytes([3, 0x00, 0x03, 16, 0, 4, 0, 0x55, 0x02, 64, 0, 0, 0,
                                           0x04, 255, 0x07, 0x24, 0x22, 0x00, 16, 0, 16, 0, 5, 3, 8, 0x01]))

write('client_requests', 'three_slaves', bytes([3, 9, 3, 0x00, 0x03, 3, 3, 0, 0x04, 64, 0, 0x0E, 2, 0x90, 0x3C, 0x7F,
                                                0x07, 20, 0x02, 0x05, 1, 0, 0, 0, 0x01]))
write('client_requests', 'unplug_replug', bytes([1, 2, 7, 0x00, 0x27, 0, 0x03, 1, 100, 0, 0x27, 0, 0x00,
                                                 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 10, 0, 0x05, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0x07, 30]))

for name in ['tagged_input.pmc', 'file_handles.pmc', 'restart.pmc', 'invalid_and_old.pmc']:
    shutil.copy(os.path.join(root, 'scenarios', name), os.path.join(here, 'corpus', 'scenario_parser', name))
