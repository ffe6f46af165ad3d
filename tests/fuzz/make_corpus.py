#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (corpus/<harness>/).

Each seed is a small, readable case of what the harness feeds the driver:
whole frames, frames cut short, key sessions, ISP answers, /proc texts,
/dev/micom sessions.  Run it again after changing an input format.  Inputs
kept for a fault they showed (corpus/fuzz_micom_device/byte_while_closing),
and those a long fuzzing campaign added (named by their SHA-1, minimised
onto these seeds), lie beside them and are not written by this script.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(code, payload):
    x = 0xDF ^ code
    for b in payload:
        x ^= b
    return bytes([0xAA, 0xDF, code]) + bytes(payload) + bytes([x])


def key(k3, k4, addr=0x5F):
    return frame(0xE5, [0x01, 0x00, addr, k3, k4])


def write(harness, name, data):
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


# ---- frame path: flags, pause seed, bytes from the micom
TIME_2013 = frame(0xD8, [0x00, 0x00, 0xD2, 0x00, 0x01, 0x05, 0x13, 0x00])
BOOTINFO = frame(0xA8, [0x06, 0x05, 0xC4, 0x00, 0x03, 0x02, 0x14, 0x01])
POWER_FRONT = frame(0xE5, [0x02, 0x12, 0x12, 0x00, 0xFF])
fp = "fuzz_frame_path"
write(fp, "time", b"\x00\x00" + TIME_2013)
write(fp, "bootinfo", b"\x00\x00" + BOOTINFO)
write(fp, "key_up_session", b"\x00\x00" + key(0x49, 0xB6) * 3 + key(0xB6, 0x49))
write(fp, "key_before_input_ready", b"\x01\x00" + key(0x20, 0xDF) + key(0xDF, 0x20))
write(fp, "front_power", b"\x00\x00" + key(0x01, 0xFE) + POWER_FRONT + key(0xFE, 0x01))
write(fp, "rescue", b"\x02\x00" + key(0x21, 0xDE) + key(0x21, 0xDE) + key(0xDE, 0x21))
write(fp, "noise_then_frame", b"\x00\x00\x33\xAA\xAA\xDF\x20" + TIME_2013 + b"\xAA\x20\x01\x02")
write(fp, "cut_frames", b"\x00\x07" + TIME_2013[:6] + key(0x49, 0xB6)[:5] + BOOTINFO)
write(fp, "bad_address", b"\x00\x00" + key(0x49, 0xB6, 0x34) + key(0x49, 0xB6, 0x12))
write(fp, "bad_code", b"\x00\x00" + key(0x20, 0xDF) + key(0x21, 0xDE) + key(0x21, 0xDE))
write(fp, "release_after_lost_press", b"\x00\x00" + key(0xB6, 0x49))

# ---- key decoder: operations (press 0, repeat 1, release 2, raw 3, power 4,
# input ready 5, rescue 6, remap 7; bits 3-4 the address, bit 7 a pause)
kd = "fuzz_key_decoder"
UP = 22  # index of 0x49 in the valid keys
write(kd, "press_repeat_release", [0x00, UP, 0x01, 0x01, 0x02])
write(kd, "press_without_release", [0x00, 3, 0x00, 4, 0x01, 0x02])
write(kd, "power_key", [0x00, 0, 0x02, 0x00, 0, 0x01, 0x02])
write(kd, "front_power_while_held", [0x00, UP, 0x04, 0x01, 0x02, 0x04])
write(kd, "front_power_while_power_held", [0x00, 0, 0x04, 0x01, 0x02])
write(kd, "not_ready", [0x05, 0x00, UP, 0x0D, 0x01, 0x02])
write(kd, "rescue_choice", [0x06, 0x00, 4, 0x01, 0x02, 0x06, 0x00, 18, 0x00, 3])
write(kd, "remap_zero", [0x07, 0x20, 8, 0x00, 3, 0x02])
write(kd, "raw_events", [0x43, 0x01, 0x00, 0x5F, 0x44, 0xBB, 0x43, 0x01, 0x00, 0x34, 0x49, 0xB6])
write(kd, "front_address_and_pause", [0x08, UP, 0x89, 50, 0x0A])
write(kd, "key_held_through_start", [0x05, 0x00, UP, 0x0D, 0x02])
write(kd, "lost_release_then_other_key", [0x00, 3, 0x00, 4, 0x02])

# ---- ISP path: operations, the byte modulo 6 (ioctl 0, micom bytes 1,
# rx count 2, write 3, wait 4, sync 5); bit 6 of a write: a long one
ip = "fuzz_isp_path"
CHECKSUM, CHECKSUM_STATUS = 2, 3
ERASE, ERASE_STATUS = 5, 6
BYTE_STATUS = 11
write(ip, "checksum_ack", [0, CHECKSUM, 0, 1, 0, 6, 0xB0, 0x1F, 0x00, 0xFF, 0x06, 0x34, 0x12,
                           0, CHECKSUM_STATUS, 0])
write(ip, "erase_nak", [0, ERASE, 0, 1, 0, 4, 0x20, 0x1F, 0x00, 0xFF, 0x15, 0, ERASE_STATUS, 0])
write(ip, "byte_written", [3, 0, 1, 0, 1, 0x00, 0x06, 0, BYTE_STATUS, 0])
write(ip, "rx_count_full", [0, ERASE, 0, 2, 2, 1, 0, 3, 1, 2, 3, 0x06, 0, ERASE_STATUS, 0])
write(ip, "rx_count_negative", [0, CHECKSUM, 0, 2, 4, 1, 0, 7, 1, 2, 3, 4, 5, 6, 7])
write(ip, "sync", [5, 4, 10, 1, 0, 0, 0xAA])
write(ip, "long_write", [0x45, 0x00, 0x02, 1, 0, 1, 0x00])

# ---- /proc writes: selector (entry in bits 0-2, kind in bits 4-6: 5 read,
# 6 exported function; bit 7 a two-byte length), copy-fault byte, length, text
pw = "fuzz_proc_write"
SETTIME, LED, STARTRESCUE, VFD, DEEPSTANDBY, VFDCLOCK, REBOOT, ENABLEISP = range(8)


def op(sel, text, fault=0):
    t = text.encode() if isinstance(text, str) else bytes(text)
    return bytes([sel, fault, len(t)]) + t


write(pw, "settime", op(SETTIME, "20130501120000\n"))
write(pw, "settime_short", op(SETTIME, "2013\n") + op(SETTIME, "\n") + op(SETTIME, ""))
write(pw, "settime_copy_fails", op(SETTIME, "20130501120000\n", 0x81))
write(pw, "led_modes", op(LED, "0\n") + op(LED, "1\n") + op(LED, "2\n") + op(LED, "x\n"))
write(pw, "led_too_long", bytes([0x80 | LED, 0, 129, 0]) + b"1" * 129)
write(pw, "led_128", bytes([0x80 | LED, 0, 128, 0]) + b"2" * 128)
write(pw, "commands", op(VFD, "hello\n") + op(VFDCLOCK, "1\n") + op(STARTRESCUE, "1\n"))
write(pw, "reboot", op(REBOOT, "1\n") + op(LED, "1\n"))
write(pw, "deepstandby", op(DEEPSTANDBY, "1\n") + op(SETTIME, "20200101000000\n"))
write(pw, "enableisp", op(ENABLEISP, "1\n") + op(SETTIME, "20200101000000\n"))
write(pw, "reads", op(0x50, "") + op(0x51, "") + op(0x52, "", 0x81))
write(pw, "exports", op(0x60, "20130501120000") + op(0x61, "20130501123000") + op(0x62, "1"))
write(pw, "alarm_then_standby", op(0x61, "20130501123000") + op(DEEPSTANDBY, "1\n"))
# the RTC device (selector 0x7N): N = 0 to 3 RTC_RD_TIME, RTC_SET_TIME,
# RTC_WKALM_SET, RTC_WKALM_RD with a struct rtc_time of the text (an alarm
# enabled when the text's last byte is odd); 4 RTC_AIE_ON (fault bit 6) or
# OFF; 5 and 6 a write or read of sysfs file (fault >> 2) & 7 of wakealarm,
# date, time, since_epoch, name; fault bit 5: no buffer
def rtc_tm(sec, mn, hour, mday, mon, year, tail=b""):
    return struct.pack("<9i", sec, mn, hour, mday, mon, year, 0, 0, 0) + tail
write(pw, "rtc_ioctls", op(0x70, "") + op(0x71, rtc_tm(0, 30, 21, 7, 11, 126)) +
      op(0x72, rtc_tm(0, 40, 21, 7, 11, 126, b"\x01")) + op(0x73, "") + op(0x74, "", 0x40) +
      op(0x74, "") + op(0x71, rtc_tm(0, 0, 0, 1, 0, 200)) + op(0x73, "", 0x20))
write(pw, "rtc_wakealarm", op(0x75, "+60\n") + op(0x75, "+120\n") + op(0x75, "0\n") +
      op(0x76, "", 1 << 2) + op(0x61, "20261208063000") + op(0x71, rtc_tm(0, 0, 22, 7, 11, 126)) +
      op(DEEPSTANDBY, "1\n"))

# ---- /dev/micom against the flash programmer: operations, the byte modulo 5
# (ioctl 0/1, write 2, wait 3, reopen 4); bit 7 makes the user copy fail,
# bit 6 of a write a long one
md = "fuzz_micom_device"
SYNC, GET_SYNC = 0, 1
PROGRAM, PROGRAM_STATUS, VERIFY, VERIFY_STATUS = 9, 10, 12, 13
write(md, "checksum", [0, SYNC, 0, 3, 10, 0, CHECKSUM, 0, 0, CHECKSUM_STATUS, 0, 0, 4, 0])
write(md, "erase_and_blank_check", [0, ERASE, 0, 3, 30, 0, ERASE_STATUS, 0, 0, 7, 0, 0, 8, 0])
write(md, "program_block", [0, ERASE, 0, 3, 30, 0, ERASE_STATUS, 0, 0, PROGRAM, 3]
      + [2, 0x5A, 0, BYTE_STATUS, 0] * 4 + [0, PROGRAM_STATUS, 0, 0, VERIFY, 3, 0, VERIFY_STATUS, 0])
write(md, "copy_failures", [0x82, CHECKSUM_STATUS, 0, 0x83, PROGRAM, 1, 0x84, 0x11])
write(md, "long_writes", [0x43, 0x00, 0x02] + [0x55] * 512 + [0x43, 0x01, 0x02])
write(md, "reopen", [0, ERASE, 0, 4, 0, ERASE_STATUS, 0, 4])
write(md, "standard_frames", [0, 14, 0, 0, 15, 0, 0, 17, 0, 0, 25, 0, 0, 18, 0, 0, 19, 0, 0, 26, 0])
