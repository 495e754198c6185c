#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/<target>/seeds/.

Run it again after changing an input format; the seeds are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(payload):
    a, b = 1, 0
    for c in payload:
        a = (a + c) & 0xFFFF
        b = (b + a) & 0xFFFF
    return (b << 16) | a


def frame(block, payload, length=None, corrupt=False):
    if isinstance(payload, str):
        payload = payload.encode('latin-1')
    n = len(payload) if length is None else length
    out = struct.pack('<IiI', 0x81422418, n, block & 0xFFFFFFFF) + payload
    return out + struct.pack('<I', (checksum(payload) + (1 if corrupt else 0)) & 0xFFFFFFFF)


def write(target, name, data):
    d = os.path.join(HERE, target, 'seeds')
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def download_block():
    raw0 = b'\0\0\0\0'
    t = 'download_block'
    write(t, 'ok', b'\x00' + raw0 + frame(0, 'OK'))
    write(t, 'empty', b'\x00' + raw0 + frame(0, ''))
    write(t, 'extra_byte', b'\x00' + raw0 + b'\x55' + frame(0, 'LIST \\tmp'))
    write(t, 'lost_byte', b'\x00' + raw0 + frame(0, 'GET \\a')[1:])
    write(t, 'resend', b'\x00' + raw0 + frame(0, 'CONNECT', corrupt=True) + frame(0, 'CONNECT'))
    write(t, 'abort', b'\x03' + raw0 + frame(-1, ''))
    write(t, 'behind', b'\x03' + raw0 + frame(4, 'data'))
    write(t, 'far', b'\x03' + raw0 + frame(9, 'data'))
    write(t, 'refused', b'\x04' + raw0 + frame(1, 'data'))
    write(t, 'full', b'\x01' + raw0 + frame(1, bytes(range(256)) * 16))
    write(t, 'too_long', b'\x01' + raw0 + frame(1, 'x' * 20, length=5000))
    write(t, 'negative', b'\x01' + raw0 + frame(1, 'x', length=-1))
    write(t, 'check', b'\x09' + raw0 + frame(1, 'stored'))
    write(t, 'check_refuses', b'\x19' + raw0 + frame(1, 'stored'))
    write(t, 'raw_two', b'\x60' + raw0 + frame(0, 'PUT \\a', corrupt=True) + frame(0, 'SIZE 1'))
    write(t, 'three', b'\xC1' + raw0 + frame(1, 'a') + frame(1, 'b') + frame(1, 'c'))
    write(t, 'raw_block', b'\x07' + struct.pack('<i', -7) + frame(-7, 'odd'))


def upload_block():
    t = 'upload_block'
    write(t, 'reply', b'\x00\x00\x00\x00\x00OK A')
    write(t, 'empty', b'\x40\x00\x00\x00\x00')
    write(t, 'full', b'\x40\x00\x00\x00\x00' + bytes(range(256)) * 16)
    write(t, 'abort', b'\x80\x00\x00\x00\x00')
    write(t, 'client', b'\x41\x00\x00\x00\x00data')
    write(t, 'resend', b'\x40\x00\x00\x00\x40' + b'x' * 100)
    write(t, 'refused', b'\x40\x00\x00\x00\x3d' + b'x' * 100)
    write(t, 'wrong', b'\x40\x00\x00\x00\x0e' + b'x' * 100)
    write(t, 'vanish', b'\x46\x00\x05\x00\x00' + b'x' * 100)
    write(t, 'too_long', b'\x60\x07\x00\x00\x00x')
    write(t, 'block', b'\xc0\xf9\x00\x00\x00odd')
    write(t, 'resend_forever', b'\x48\x00\x00\x00\x00OK A')
    write(t, 'ctrl_c', b'\x59\x00\x00\x10\x00' + b'y' * 40)


def esc(data):
    out = bytearray()
    for c in data:
        if c in (0x0A, 0x1B, 0x00):
            out += bytes([0x1B, c ^ 0x40])
        else:
            out.append(c)
    return bytes(out)


def session(config, lines):
    return b'\n'.join([esc(config)] + [esc(l if isinstance(l, bytes) else l.encode('latin-1'))
                                       for l in lines])


def command_loop():
    t = 'command_loop'
    write(t, 'browse', session(b'\x00', ['CONNECT', 'LIST \\sub', 'LIST sub\\', 'GET \\sub\\a.txt',
                                         'AGET \\sub\\a.txt', 'GET \\sub\\c5.bin']))
    write(t, 'browse_c', session(b'\x01', ['CONNECT', 'LIST \\', 'AGET \\caf\xe9.txt',
                                           'GET \\\x80.bin']))
    write(t, 'names', session(b'\x00\x00\x00\x00\x00long' + b'n' * 250 + b'/\x01\x02/.x/\xc3',
                              ['LIST \\dir']))
    write(t, 'restart_get', session(b'\x00', ['REST 100', 'GET \\sub\\b.bin', 'REST 7',
                                              'AGET \\sub\\a.txt', 'REST 99999', 'AGET \\a.txt']))
    write(t, 'put', session(b'\x00', ['PUT \\sub\\new.bin', 'TIME 1234567890', 'ATTR 32', 'SIZE 5',
                                      b'\x01hello', 'LIST \\sub']))
    write(t, 'aput', session(b'\x00', ['APUT \\sub\\t.txt', 'SIZE 12', b'\x01line\r\nline\r\n']))
    write(t, 'aput_c', session(b'\x01', ['APUT \\sub\\t.txt', 'SIZE 6', b'\x01\x80\x84\r\n\xe9\r']))
    write(t, 'resume', session(b'\x00', ['PUT \\sub\\c5.bin', 'REST ?', 'SIZE 5005',
                                         b'\x01' + bytes((i * 131 + 0) & 0xFF for i in range(5))]))
    write(t, 'resume_text', session(b'\x00', ['APUT \\sub\\a.txt', 'REST ?', 'SIZE 200',
                                              b'\x01first line\r\n']))
    write(t, 'full_disk', session(b'\x00', ['PUT \\d\\out.full', 'SIZE 300', b'\x01' + b'a' * 150,
                                            b'\x01' + b'b' * 150]))
    write(t, 'empty_put', session(b'\x00', ['PUT \\sub\\zero.bin', 'TIME 0', 'SIZE 0']))
    write(t, 'namespace', session(b'\x00', ['MD \\sub\\new', 'MD \\sub\\xnot', 'DEL \\sub\\a.txt',
                                            'DEL \\sub\\xgone', 'RD \\sub\\old', 'RD \\a.txt',
                                            'RNFR \\sub\\a.txt', 'RNTO \\sub\\b.txt',
                                            'RNTO \\sub\\c.txt', 'RNFR \\xnone', 'RNTO \\y']))
    write(t, 'odd_files', session(b'\x00', ['GET \\big.huge', 'AGET \\bad.err', 'GET \\p.fifo',
                                            'GET \\grown.grow', 'AGET \\grown.grow', 'LIST \\a.txt',
                                            'LIST \\xgone']))
    write(t, 'garbage', session(b'\x00', ['HELLO', '', 'TI', b'\x04\x18\x24\x42\x81\x10',
                                          b'\x05CONNECT', b'\x03', b'\x02\x05data', 'CONNECT']))
    write(t, 'silent', session(b'\x02\x05', ['CONNECT', 'LIST \\sub', 'GET \\sub\\c5.bin']))
    write(t, 'refuse_frame', session(b'\x04\x00\x00\x03\x0d', ['GET \\sub\\c9.bin', 'LIST \\sub']))
    write(t, 'long_line', session(b'\x00', ['LIST \\' + 'a' * 300, 'GET ' + '\\b' * 200]))
    write(t, 'zero_inside', session(b'\x00', [b'GET \\sub\\a.txt\x00junk', b'PUT \\x\x00y']))
    # A client that leaves state behind, and the next one after CONNECT.
    write(t, 'reconnect', session(b'\x00', ['PUT \\sub\\a.bin', 'REST 5000', 'RNFR \\a.txt',
                                             'CONNECT', 'GET \\sub\\c9.bin', 'SIZE 3', b'\x01abc',
                                             'RNTO \\b.txt']))
    # A resumed upload of a file that shrank: the data matches the stored
    # bytes at the restart offset (generated as i * 131 + FNV-1a of the path).
    h = 2166136261
    for c in b'/sub/c9.bin':
        h = ((h ^ c) * 16777619) & 0xFFFFFFFF
    stored = bytes((i * 131 + h) & 0xFF for i in range(4096, 4100))
    write(t, 'resume_shorter', session(b'\x00', ['PUT \\sub\\c9.bin', 'REST ?', 'SIZE 4100',
                                                  b'\x01' + stored]))
    write(t, 'resend_forever', session(b'\x10\x00\x00\x02', ['GET \\sub\\a.txt', 'LIST \\sub']))
    write(t, 'vanish_mid', session(b'\x0a\x02\x03', ['CONNECT', 'PUT \\sub\\n.bin', 'SIZE 20',
                                                       b'\x01' + b'd' * 20]))


def convert():
    t = 'convert'
    write(t, 'plain', b'\x00\x40' + b'\\tmp\\dir\\file.txt')
    write(t, 'relative', b'\x00\x10' + b'tmp\\x\\')
    write(t, 'root', b'\x00\x01' + b'\\')
    write(t, 'euro', b'\x01\x08' + b'\\\x80\xa4\xe9\xff\x81')
    write(t, 'utf8', b'\x01\x40' + b'\xc3\xa9\xe2\x82\xac\xe2\x82\xc3\x28\xbf\xf0\x9f\x98\x80')
    write(t, 'long', b'\x01\xff' + b'\\' + b'\xe9' * 400)
    write(t, 'dos', b'\x02\x10' + b'\x82\x84\x94\x91\x92')


def listing_record():
    t = 'listing_record'
    def rec(flags, cap, mode, size, mtime, dir_, name):
        return (bytes([flags]) + struct.pack('<HIqq', cap, mode, size, mtime) + dir_ + b'\0' + name)
    write(t, 'file', rec(0, 1024, 0o100644, 1234, 1768478400, b'/tmp/d', b'a.txt'))
    write(t, 'dir', rec(0, 1024, 0o40755, 4096, 315532800, b'/', b'sub'))
    write(t, 'dot', rec(0, 1024, 0o40755, 4096, 0, b'/tmp', b'.'))
    write(t, 'dot_c', rec(1, 1024, 0o40755, 4096, 0, b'/tmp', b'.'))
    write(t, 'hidden', rec(0, 1024, 0o100400, 5000000000, -1, b'/tmp/', b'.profile'))
    write(t, 'control', rec(0, 1024, 0o100644, 1, 4354819199, b'/tmp', b'tab\there\r\nx'))
    write(t, 'utf8', rec(1, 1024, 0o100644, 1, 2147483648, b'/tmp', b'caf\xc3\xa9\xe2\x82\xac'))
    write(t, 'euro', rec(0, 1024, 0o100644, 1, 1000000000, b'/tmp', b'\x80\xa4'))
    write(t, 'small', rec(0, 12, 0o100644, 1, 0, b'/tmp', b'abc'))
    write(t, 'zero', rec(0, 0, 0o40755, 1, 0, b'/tmp', b'.'))
    write(t, 'failed', rec(2, 1024, 0, 0, 0, b'/tmp', b'gone'))
    write(t, 'long_dir', rec(0, 1024, 0o100644, 1, 0, b'/' + b'd' * 800, b'n'))


def client():
    t = 'client'

    def reply(text):
        return bytes([len(text)]) + text.encode('latin-1')

    def data(n, given=None):
        if given is not None:
            return bytes([0x48, len(given)]) + given
        if n == 4096:
            return b'\x70\x00'
        shift = next(s for s in range(3) if n >> s < 256 and (n >> s) << s == n)
        return bytes([0x40 | (shift + 1 if shift else 0) << 4, n >> shift])

    write(t, 'get', b'\x00\x00' + reply('SIZE 5000') + data(4096) + data(904))
    write(t, 'get_time', b'\x00\x00' + reply('TIME 1234567') + reply('ATTR 1') +
          reply('SIZE 3') + data(3))
    write(t, 'get_c', b'\x01\x7d' + reply('REST 904') + reply('SIZE 10000') + data(4096) +
          data(4096) + data(904))
    write(t, 'get_c_short', b'\x01\x19' + reply('SIZE 1000') + data(1000))
    write(t, 'get_text', b'\x0c\x00' + reply('SIZE 20') + data(20))
    write(t, 'get_c_text', b'\x05\x19' + reply('SIZE 1000') + data(1000))
    write(t, 'waits', b'\x00\x00' + b'\xc5' + reply('SIZE 0') + data(0))
    write(t, 'stall', b'\x00\x00' + b'\xe6' + reply('SIZE 0') + data(0))
    write(t, 'missing', b'\x00\x00' + reply('FILE ERROR 2'))
    listing = b'.\t0\t-1\t16\r\na\x1b\x9b\t3\t0\t32\r\n'
    write(t, 'ls', b'\x02\x00' + reply('SIZE %d' % len(listing)) + data(0, listing))
    write(t, 'text_writer', b'\x03\x00\x03ab\r\x05\ncd\r\n')


if __name__ == '__main__':
    download_block()
    upload_block()
    command_loop()
    convert()
    listing_record()
    client()
