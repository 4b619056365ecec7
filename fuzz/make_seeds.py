#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/ (run from anywhere)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def srec(kind, address, data, bad=False):
    alen = kind + 1
    body = [alen + len(data) + 1] + list(address.to_bytes(alen, "big")) + list(data)
    checksum = (~sum(body) + (1 if bad else 0)) & 0xFF
    return "S%d" % kind + "".join("%02X" % b for b in body + [checksum])


def ihex(kind, offset, data, bad=False):
    body = [len(data), offset >> 8, offset & 0xFF, kind] + list(data)
    checksum = (-sum(body) + (1 if bad else 0)) & 0xFF
    return ":" + "".join("%02X" % b for b in body + [checksum])


def lines(*items, end="\n"):
    return (end.join(items) + end).encode()


def header(device, yes, offset, lowest, highest):
    return b"#Q" + bytes([device, yes]) + struct.pack("<III", offset, lowest, highest)


# --- fuzz_srec: files, some behind a "#Q" header choosing device, answer, offset and window
pattern = bytes((i * 7 + 1) & 0xFF for i in range(64))
write("srec", "s1_two_records", lines("S00600004844521B", srec(1, 0x1000, pattern[:16]),
                                      srec(1, 0x2000, pattern[:16]), "S9030000FC"))
write("srec", "s2_s3_crlf", lines(srec(2, 0x001000, pattern[:32]), srec(3, 0x00002000, pattern[:8]),
                                  "S70500000000FA", end="\r\n"))
write("srec", "checksum_error", lines(srec(1, 0x0100, pattern[:4], bad=True)))
write("srec", "record_of_64", lines(srec(1, 0x0400, pattern)))
write("srec", "record_of_200", lines(srec(1, 0x0400, bytes(range(200)))))
write("srec", "empty_data_record", lines("S1030000FC", srec(1, 0x10, b"\x01")))
write("srec", "only_s0_s9", lines("S00600004844521B", "S9030000FC"))
write("srec", "blank_line", lines(srec(1, 0x10, b"\x01\x02"), "", srec(1, 0x20, b"\x03")))
write("srec", "lower_case_hex", lines(srec(1, 0xABC0, pattern[:8]).lower().replace("s", "S", 1)))
write("srec", "window_clips", header(1, 1, 0, 0x100, 0x1FF) +
      lines(srec(1, 0xF8, pattern[:16]), srec(1, 0x1F8, pattern[:16])))
write("srec", "offset_wraps", header(0, 0, 0xFFFFF000, 0, 0x1FFFF) + lines(srec(1, 0x1000, pattern[:16])))
write("srec", "mode_3_outside", header(3, 1, 0x10000, 0, 0xFFFFFFFF) + lines(srec(3, 0xFFFFFFF0, pattern[:32])))
write("srec", "ihex_linear_and_segment", lines(ihex(4, 0, b"\x00\x01"), ihex(0, 0xFFF0, pattern[:32]),
                                              ihex(2, 0, b"\x10\x00"), ihex(0, 0xFFF8, pattern[:16]),
                                              ihex(5, 0, b"\x00\x00\x01\x00"), ihex(1, 0, b"")))
write("srec", "ihex_checksum_error", lines(ihex(0, 0x100, pattern[:8], bad=True)))
write("srec", "ihex_unknown_type", lines(ihex(0, 0x100, pattern[:8]), ihex(6, 0, b"")))
write("srec", "ihex_top", header(1, 1, 0, 0, 0xFFFFFFFF) + lines(ihex(4, 0, b"\xFF\xFF"),
                                                              ihex(0, 0xFFF0, pattern[:32])))
write("srec", "binary_at_base", header(0, 3, 0x1F000, 0, 0x1FFFF) + pattern * 5)
write("srec", "binary_past_top", header(1, 3, 0xFFFFFFC0, 0, 0xFFFFFFFF) + pattern * 2)

# --- fuzz_fields: byte 0 bit 0 clear: field text (bit 1 hexadecimal default); set: a format
for i, text in enumerate([b"H'1F00", b" 0x1f00 ", b"D'7936", b"-1000", b"H'", b"1F 00",
                          b"FFFFFFFFF", b"d'4294967296", b"+0X", b"D'0x10"]):
    write("fields", "field_%02d" % i, bytes([2]) + text)
write("fields", "field_decimal", b"\x00 -10")
formats = [b"An internal error has occurred (%1!ld!). Please note the values.",
           b"Downloaded byte at H'%1!lX! failed to verify correctly.",
           b"An unrecognized error #%1!d! occurred at address H'%2!lX!.",
           b"%1!08X! %2!s! %3!-12.4s! %%",
           b"%1!.100d!|%2!#o!|%3!c!|%12!s!|%99",
           b"no inserts at all\n\t"]
for i, text in enumerate(formats):
    write("fields", "format_%02d" % i, bytes([1 + 2 * (i % 5)]) + text)


# --- fuzz_board: byte 0 the operation, then one token per host byte
def chunks(sizes, final=0x06):
    out = []
    for n in sizes:
        out += [0xF0, 0x06, 0xF1, 6, 0x11, 0xF0, 0xF1, n - 2, 0x11, 0xF0, final]
    return out


SIZES = [16, 16, 8]
ERASE = [0xF0, 0xF0, 0xF1, 6, 0x06, 0xF1, 6, 0x06]
# 10 sync bytes; the start byte; 897 echoed stream bytes; the last one echoed with the report.
BOOT = [0xF1, 8, 0x00, 0xAA] + [0xF2, 0xFF] * 3 + [0xF2, 0x80] + [0xF9, 0x00]

write("board", "boot_ok", bytes([0] + BOOT + chunks(SIZES)))
write("board", "program_ok", bytes([1] + chunks(SIZES)))
write("board", "program_erase_ok", bytes([2] + ERASE + chunks(SIZES)))
write("board", "erase_ok", bytes([3] + ERASE))
write("board", "boot_erase_failed", bytes([0] + BOOT[:-1] + [0xFF]))
write("board", "boot_wrong_start_echo", bytes([0, 0xF1, 8, 0x00, 0x55]))
write("board", "boot_late_sync", bytes([0, 0xF1, 8, 0xF3, 6, 0x00, 0xAA, 0xF7]))
write("board", "boot_hang_up_in_download", bytes([0, 0xF1, 8, 0x00, 0xAA, 0xF2, 0x40, 0xF6]))
write("board", "boot_abort_in_download", bytes([0, 0xF1, 8, 0x00, 0xAA, 0xF2, 0x20, 0xF8]))
write("board", "program_checksum_rejected", bytes([1] + chunks(SIZES[:1]) + chunks(SIZES[1:2], 0x07)))
write("board", "program_extra_byte", bytes([1, 0xF0, 0xF5, 0x06, 0x11] + chunks(SIZES)[2:]))
write("board", "program_hang_up", bytes([1] + chunks(SIZES[:1]) + [0xF0, 0x06, 0xF6]))
write("board", "program_abort", bytes([1] + chunks(SIZES[:2]) + [0xF8]))
write("board", "erase_fails", bytes([3, 0xF0, 0xF0, 0xF1, 6, 0x07]))
write("board", "erase_silent_then_late", bytes([3, 0xF0, 0xF0, 0xF1, 6, 0xF3, 7, 0x06, 0xF1, 6, 0x5A]))
write("board", "program_erase_wrong_final", bytes([2] + ERASE[:-1] + [0x99] + chunks(SIZES)))


# --- fuzz_board_model: byte 0 the board, byte 1 mode and clock, sync reply, erase-all report,
# the faults (step, action, index, byte), then the host's bytes
STEPS = ["sync", "echo", "boot-erase", "erase", "erase-final", "chunk-command", "chunk-address",
         "chunk-data", "checksum"]
ACTIONS = ["silent", "wrong", "fail", "delay", "hangup"]


def model(board, mode_clock, faults=(), sync=0, report=0):
    out = bytes([board, mode_clock, sync, report, len(faults)])
    for step, action, index, value in faults:
        out += bytes([STEPS.index(step), ACTIONS.index(action), index, value])
    return out


def be32(v):
    return v.to_bytes(4, "big")


def chunk(address, data, check=None):
    if check is None:
        check = ~sum(data) & 0xFF
    return b"\x57\x00" + be32(address) + be32(len(data)) + b"\x11" + bytes(data) + bytes([0x11, check])


def erase(starts, tail=bytes(8)):
    return bytes([0x57, len(starts)]) + b"".join(be32(s) for s in starts) + tail


C30, A10, C31 = 1, 0, 2
USER, REAL = 0x04, 0x08
SYNC = bytes(10)
with open(os.path.join(HERE, "..", "resources", "fpcode", "fpcode_192.bin"), "rb") as f:
    kernel_192 = f.read()
data16 = bytes(pattern[:16])

write("board_model", "boot_short_kernel", model(C30 | 0x20, 0x20) + SYNC + b"\x55\x00\x02\xA5\x5A" +
      erase([0x1000]) + chunk(0x1000, data16))
write("board_model", "boot_real_kernel", model(C30 | REAL, 0x20) + SYNC + b"\x55\x03\x80" + kernel_192 +
      chunk(0x1000, data16) + chunk(0x2000, data16[:8]))
write("board_model", "boot_wrong_kernel", model(C30 | 0x30, 0x20) + SYNC + b"\x55\x00\x03\xA5\x5A\x00" +
      chunk(0x1000, data16))
write("board_model", "boot_resync", model(C30 | 0x10, 0x20, sync=0x42) + SYNC + b"\x00" + SYNC + b"\x33\x55\x00\x01\xA5")
write("board_model", "user_chunks", model(C30 | USER, 0) + chunk(0x1000, data16) + chunk(0x1010, data16, 0) +
      chunk(0x7FF8, data16) + chunk(0xFFFFFFF8, data16) + chunk(0x3000, b"") + b"\x57\x00" + be32(0x1000) +
      be32(1) + b"\x12")
write("board_model", "user_erase_forms", model(C30 | USER, 0) + erase([0x0000, 0x1000]) + erase([0x1001]) +
      erase([0x1000], b"\x00" * 7 + b"\x01") + erase([0] * 17) + b"\x99")
write("board_model", "a10_erase_and_chunk", model(A10 | USER, 0) + erase([0x4000, 0x1F000]) + chunk(0x1F000, data16))
write("board_model", "c31_mode3", model(C31 | USER, 0x81) + erase([0]) + chunk(0x0, data16))
write("board_model", "fault_wrong_echo", model(C30 | 0x20, 0x20, [("echo", "wrong", 2, 0x81)]) + SYNC +
      b"\x55\x00\x02" + SYNC + b"\x55\x00\x02\xA5\x5A")
write("board_model", "fault_silent_sync", model(C30 | 0x20, 0x20, [("sync", "silent", 0, 0)]) + SYNC + SYNC)
write("board_model", "fault_boot_erase_fail", model(C30 | 0x20, 0x20, [("boot-erase", "fail", 0, 0)]) +
      SYNC + b"\x55\x00\x02\xA5\x5A" + SYNC)
write("board_model", "fault_hangup_checksum", model(C30 | USER, 0, [("checksum", "hangup", 1, 0)]) +
      chunk(0x1000, data16) + chunk(0x1010, data16) + chunk(0x1020, data16))
write("board_model", "fault_erase_fail_delay", model(C30 | USER, 0, [("erase", "fail", 0, 0),
                                                                    ("chunk-command", "delay", 0, 50)]) +
      erase([0x1000]) + chunk(0x1000, data16))
write("board_model", "fault_forced_outside_chunk", model(C30 | USER, 0, [("chunk-address", "wrong", 0, 0x11)]) +
      chunk(0x7FFF, b"\x00\x00"))
write("board_model", "fault_erase_final_wrong", model(C30 | USER, 0, [("erase-final", "wrong", 0, 0x99),
                                                                     ("chunk-data", "silent", 1, 0)]) +
      erase([0x1000]) + chunk(0x1000, data16) + chunk(0x1010, data16))
