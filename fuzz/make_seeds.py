#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Seeds are valid inputs (packets with correct checksums, well-formed files
and frames), so the fuzzer starts past the first checks. Run it again after
changing it; files found by the fuzzer and added by hand (crash-*,
regress-*) are left alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v):
    return struct.pack('<H', v & 0xFFFF)


def le32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def text(s):
    return s.encode('latin-1') + b'\0'


def packet(kind, command, sub, data=b''):
    if isinstance(command, str):
        command = ord(command)
    if isinstance(sub, str):
        sub = ord(sub)
    head = bytes([kind, command, sub]) + le16(len(data)) + data
    return head + le16((0x10000 - (sum(head) & 0xFFFF)) & 0xFFFF)


def date(day, month, year):
    return bytes([day, month]) + le16(year)


def file_info(letter, size, name, kind=1, sub='i', attr=0x20, year=2004):
    return packet(kind, letter, sub, le32(size) + date(7, 3, year) + bytes([30, 45, 13, attr]) + text(name))


def block(letter, number, content, last):
    return packet(1, letter, 'd', bytes([number]) + content + bytes([0xF1 if last else 0xF0]))


def response(command, sub=0, status=0):
    return packet(0, command, sub, le16(status))


END = packet(1, 'E', 0, bytes([0, 0]))
IDLE = packet(1, 'I', 0)

# HT-initiated exchanges of the wait state.
HT_SEND = (packet(1, 'S', 't', le16(1) + le32(5) + bytes([1])) + file_info('S', 5, 'C:\\IN\\NEW.DAT') +
           block('S', 0, b'hello', True) + END)
HT_SEND_TWO = (packet(1, 'S', 't', le16(2) + le32(3000) + bytes([0])) + file_info('S', 2000, 'C:\\IN\\A.DAT') +
               block('S', 0, b'a' * 1000, False) + block('S', 1, b'a' * 1000, True) +
               file_info('S', 1000, 'C:\\IN\\B.DAT') + block('S', 0, b'b' * 1000, True) + END)
HT_FETCH = packet(1, 'R', 'r', text('C:\\OUT.DAT')) + response('A', 'i') + response('A', 'd') + END
HT_APPEND = packet(1, 'R', 'w', text('C:\\IN\\LOG.DAT')) + END
HT_MISC = (packet(1, 'J', 0) + packet(1, 'C', 0, b'c') + packet(1, 'P', 0, text('Hello HT')) +
           packet(1, 'K', 0, le32(0) + date(1, 1, 2004) + bytes([0xFF, 0xFF, 0xFF, 0x10]) + text('C:\\NEWDIR')) +
           packet(1, 'M', 0, text('C:\\OUT.DAT::C:\\MOVED.DAT')) +
           packet(1, 'D', 0, le16(1) + text('C:\\IN\\SALES.DAT')) +
           packet(1, 'U', 0, le32(5) + date(7, 3, 2004) + bytes([30, 45, 13, 0x20]) + text('C:\\OUT.DAT')) +
           packet(1, 'V', 'f', text('C:\\*.*')) + packet(1, 'V', 'n') + END)
HT_SESSION = packet(1, 'X', 0, le16(0) + b'1AT\0W') + END
HT_SCRIPT = packet(1, 'I', 's', text('RUN.SCR')) + response('G') + END
# The HT's answers when the PC drives (idle state): general responses and
# file information of an HT file.
PC_DRIVEN = (IDLE + response('S', 't') + response('S', 'i') + response('S', 'd') + response('S', 'd') +
             file_info('A', 9, 'A:\\SALES.DAT', kind=0, sub='i') + block('A', 0, b'new sales', True) +
             response('D') + response('M') + response('G') + response('P') + response('T') +
             packet(0, 'C', 0, le32(1 << 20) + le32(1 << 19) + bytes([0])) +
             packet(0, 'J', 0, date(29, 2, 2024) + bytes([58, 59, 23])) +
             packet(0, 'V', 'f', le32(4) + date(7, 3, 2004) + bytes([30, 45, 13, 0x20]) + text('A:\\X.DAT')) +
             packet(0, 'V', 'n', le32(0) + le32(0) + text('')))


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def seeds():
    # Packets on a channel.
    for name, data in [('ht-send', HT_SEND), ('ht-send-two', HT_SEND_TWO), ('ht-fetch', HT_FETCH),
                       ('ht-append', HT_APPEND), ('ht-misc', HT_MISC), ('ht-session', HT_SESSION),
                       ('ht-script', HT_SCRIPT), ('pc-driven', PC_DRIVEN),
                       ('noise', b'\xff\xff' + IDLE), ('too-long', bytes([1, ord('S'), ord('d'), 0xFF, 0xFF]))]:
        write('packet', name, data)
    # Whole sessions: mode byte (bit 0 repairs checksums, bits 1-5 the command).
    write('session', 'ht-send', bytes([1]) + HT_SEND)
    write('session', 'ht-send-two', bytes([1]) + HT_SEND_TWO)
    write('session', 'ht-fetch', bytes([1]) + HT_FETCH)
    write('session', 'ht-misc', bytes([1]) + HT_MISC)
    write('session', 'ht-script', bytes([1]) + HT_SCRIPT)
    for command in range(1, 22):
        write('session', 'pc-command-%02d' % command, bytes([command << 1 | 1]) + PC_DRIVEN)
    # Command lines, scripts, lists and helper texts (NUL-separated).
    for name, parts in [
        ('send', ['/S C:\\OUT\\PRICES.DAT A:\\', 'S C:\\X.DAT A:\\\r\nB\r\n', 'A:\\A.DAT::A:\\B.DAT##C:\\', '2024-02-29 23:59:58']),
        ('all', ['/SORU "C:\\My Files\\*.*" A:\\/R A:\\*.DAT C:\\IN\\/A C:\\P A:\\Q/D A:\\OLD/N A:\\A A:\\B/I A:/T 2024-01-02 03:04:05/XAHRS A:\\P 10/P "hi"/B/C prog arg/E RUN.SCR/F A://3',
                 'P "line one"\nI A:\n//\n', '::', '"quoted name" rest']),
        ('script', ['/E RUN.SCR', 'S C:\\A A:\\\nR A:\\B C:\\\nE OTHER.SCR\n' + 'x' * 300 + '\n', 'A', '12:34:56$']),
    ]:
        write('cmdline', name, '\0'.join(parts).encode('latin-1'))
    # Settings files.
    with open(os.path.join(HERE, '..', 'app', 'default-config', 'device.ini'), 'rb') as f:
        write('config_files', 'default-device', f.read())
    with open(os.path.join(HERE, '..', 'app', 'default-config', 'panelset.ini'), 'rb') as f:
        write('config_files', 'default-panelset', f.read())
    write('config_files', 'hand-made', b'[DEFAULT]\r\nIF=RS232C\r\nErrorFile=C:\\E.LOG\r\nWorkFile=C:\r\n'
          b'[RS232C]\nPort=COM2\nBaud=19200\nParity=EVEN\nStop=1\nData=8\nIRQ=4\nIO_ADDR=0x2F8\n'
          b'[SCSI]\r\nScantime=2.5\r\n[ETHERNET]\r\nPORTNO=\nMAX_IO=300\r\n[USE_IP]\r\n1=127.0.0.1\r\n'
          b'[CODE]\r\n-1=1F\r\n[MODE]\r\nSERVER=1\r\nCOMMAND_TIMEOUT=30\r\nDUPLICATE=OFF\r\n')
    write('profile', 'device', b'ETHERNET\tPORTNO\n[ETHERNET]\r\nPORTNO = 5000\r\n MAX_IO="20"\r\n; note\r\n[USE_IP]\r\n1=127.0.0.1\r\n255\r\n')
    write('profile', 'quotes', b"MODE\tserver\n[mode]\nSERVER='1'\n[MODE]\nSERVER=2\n")
    # PC paths: path, pattern, name.
    for name, parts in [('plain', ['C:\\Data\\Prices.dat', '*.DAT', 'PRICES.DAT']),
                        ('dots', ['c:\\..\\data\\.\\SUB\\*.*', 'A.*', 'A']),
                        ('native', ['/etc/../tmp/x', '?*?.?', 'a.b.c']),
                        ('relative', ['data2\\..\\..\\readme', '**', ''])]:
        write('pc_paths', name, '\0'.join(parts).encode('latin-1'))
    # Data-copy requests: tag (op, index, host bits) then data.
    write('datacopy', 'command', bytes([0, 2, 2, 0]) + b'/1/S C:\\DATA\\ORDERS.DAT A:\\\0')
    write('datacopy', 'taken', bytes([1, 0, 2, 0]))
    write('datacopy', 'ping', bytes([4, 255, 0, 0]))
    write('datacopy', 'detail-log', bytes([255, 3, 2, 4]) + b'a detail line')
    write('datacopy', 'rs232', bytes([0, 9, 0, 0]) + b'/B')
    # TCP/IP frames from an HT: mode byte, then frames.
    def frame(code, payload=b'', word4=0):
        return bytes([code, 0]) + le16(len(payload)) + le16(word4) + b'\0\0' + payload
    write('tcpip_frames', 'handshake', bytes([ord('0') << 1 | 1]) + frame(ord('0')) + frame(ord('2')) +
          frame(0, IDLE) + frame(0x01) + frame(0, b'x' * 8184))
    write('tcpip_frames', 'data', bytes([0]) + frame(0, HT_SEND) + frame(0x18) + frame(0, b''))
    write('tcpip_frames', 'over-long', bytes([0]) + bytes([0, 0, 0xF9, 0x1F, 0, 0, 0, 0]))
    # TCP/IP handshakes: byte 0 picks opening (bits 0-1) and close (bits 2-3).
    accept = frame(ord('0')) + frame(ord('2'))
    close = frame(ord('2')) + frame(ord('3')) + frame(0)
    write('tcpip_handshake', 'accept-close', bytes([1]) + accept + close)
    write('tcpip_handshake', 'accept-end', bytes([1 | 1 << 2]) + accept + frame(0, IDLE) + frame(0))
    write('tcpip_handshake', 'connect', bytes([2 | 2 << 2]) + frame(0) + frame(ord('1')))
    write('tcpip_handshake', 'both', bytes([3]) + accept + frame(0) + frame(ord('1')) + close)
    write('tcpip_handshake', 'close-only', bytes([0]) + close)
    # htsim: PC packets.
    for name, data in [('pc-requests', packet(1, 'S', 't', le16(1) + le32(5) + bytes([1])) +
                        file_info('S', 5, 'A:\\NEW.DAT') + block('S', 0, b'hello', True) +
                        packet(1, 'R', 'r', text('A:\\SALES.DAT')) + packet(1, 'D', 1, le16(1) + text('A:\\X')) +
                        packet(1, 'J', 0, date(29, 2, 2024) + bytes([58, 59, 23])) +
                        packet(1, 'U', 0, le32(3) + date(1, 1, 2300) + bytes([0, 0, 12, 0x21]) + text('A:\\SALES.DAT')) +
                        packet(1, 'E', 0, bytes([0, 0]))),
                       ('pc-answers', response('S', 't') + packet(0, 'X', 0, le16(1) + b'1AT\0W') +
                        packet(0, 'C', 0, le32(100) + le32(50) + bytes([0])) + packet(1, 'P', 0, text('Hi')))]:
        write('htsim_packet', name, data)
    # htsim sessions: mode byte (bit 0 wrap in frames, bit 1 repair checksums), then packets.
    pc_send = (packet(1, 'S', 't', le16(1) + le32(5) + bytes([1])) + file_info('S', 5, 'A:\\NEW.DAT') +
               block('S', 0, b'hello', True) + packet(1, 'E', 0, bytes([0, 0])))
    pc_fetch = packet(1, 'R', 'r', text('A:\\SALES.DAT')) + response('A', 'i') + response('A', 'd') + packet(1, 'E', 0, bytes([0, 0]))
    pc_misc = (packet(1, 'C', 0, b'A') + packet(1, 'V', 'f', text('A:\\*.*')) + packet(1, 'V', 'n') +
               packet(1, 'D', 1, le16(1) + text('A:\\SUB\\A.DAT')) + packet(1, 'M', 0, text('A:\\SALES.DAT::A:\\S2.DAT')) +
               packet(1, 'K', 0, le32(0) + date(1, 1, 2004) + bytes([0xFF, 0xFF, 0xFF, 0x10]) + text('A:\\NEWDIR')) +
               packet(1, 'J', 0, date(29, 2, 2024) + bytes([58, 59, 23])) + packet(1, 'P', 0, text('Hi')) +
               packet(1, 'G', 0) + packet(1, 'E', 0, bytes([0, 0])))
    pc_far_date = (packet(1, 'U', 0, le32(3) + date(1, 1, 2300) + bytes([0, 0, 12, 0x20]) + text('A:\\SALES.DAT')) +
                   packet(1, 'S', 't', le16(1) + le32(2) + bytes([1])) + file_info('S', 2, 'A:\\FAR.DAT', year=9999) +
                   block('S', 0, b'ok', True) + packet(1, 'E', 0, bytes([0, 0])))
    for name, data in [('send', pc_send), ('fetch', pc_fetch), ('misc', pc_misc), ('far-date', pc_far_date)]:
        write('htsim_session', name, bytes([3]) + data)
    write('htsim_session', 'refusal', bytes([0]) + bytes([0x10, 0, 20, 0, 0, 0, 0, 0]) +
          b'No More Connection 2' + bytes([0x0C, 0, 0, 0, 0, 0, 0, 0]))
    write('htsim_session', 'empty-refusal', bytes([0]) + bytes([0x10, 0, 0, 0, 0, 0, 0, 0]) +
          bytes([0x0C, 0, 0, 0, 0, 0, 0, 0]))
    # Serial receive operations: 0x80 | (n - 1) writes n bytes; even b receives (b >> 1) + 1; odd polls.
    write('serial_lookahead', 'poll-then-read', bytes([0x80 | 19]) + bytes(range(20)) + bytes([(4 << 1) | 1, (9 << 1) | 1, 6 << 1, 30 << 1]))
    write('serial_lookahead', 'packet', bytes([0x80 | (len(IDLE) - 1)]) + IDLE + bytes([(4 << 1) | 1, 4 << 1, 1 << 1]))
    # IO box: queue a frame (byte < 0x40, word length), receive (0x40), send (0x80), close (0xC0).
    def iobox_frame(code, payload=b''):
        return bytes([code, 0]) + le16(len(payload)) + b'\0\0\0\0' + payload
    for name, frames, ops in [
        ('recv', [iobox_frame(0, IDLE)], bytes([0x40]) + le16(len(IDLE) - 1)),
        ('send', [iobox_frame(0x01)], bytes([0x80]) + le16(99)),
        ('close', [iobox_frame(0x18), iobox_frame(ord('2')), iobox_frame(ord('3')), bytes(8)], bytes([0xC1])),
    ]:
        data = b''
        for f in frames:
            data += bytes([0]) + le16(len(f)) + f
        write('iobox', name, data + ops)

    # Link manager accept path: a stub byte, then per connection an op byte
    # (source 127.0.0.(2 + bits 0-2), bit 3 stays open, bits 4-5 read time,
    # bit 6 two pieces), a length byte and the bytes the HT sends.
    def conn(op, data):
        return bytes([op, len(data)]) + data
    ht_open = frame(ord('0')) + frame(ord('2'))
    ht_close = frame(ord('2')) + frame(ord('3')) + frame(0)
    write('linkman_accept', 'listed-handshake', bytes([0]) + conn(0x20, ht_open + ht_close))
    write('linkman_accept', 'listed-handshake-pieces', bytes([2]) + conn(0x60, ht_open + ht_close))
    write('linkman_accept', 'unlisted', bytes([0]) + conn(0x25, ht_open))
    write('linkman_accept', 'replace-same-station', bytes([0]) + conn(0x28, ht_open) + conn(0x20, ht_open + ht_close))
    write('linkman_accept', 'table-full',
          bytes([2]) + b''.join(conn(0x18 | n, ht_open) for n in range(4)) + conn(0x20, ht_open))
    write('linkman_accept', 'garbage', bytes([1]) + conn(0x10, b'\xff' * 40) + conn(0x01, b''))


if __name__ == '__main__':
    seeds()
