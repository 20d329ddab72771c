#!/usr/bin/env python3
"""Prints the target and the working folder ("Start in") of a Windows shortcut (.lnk), one per
line: "target=C:\\...", "workdir=C:\\...". The target is the link's local base path."""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, IS_UNICODE = 0x01, 0x02, 0x80
# The optional strings after the link info, in their order in the file.
STRING_FLAGS = (("name", 0x04), ("relative", 0x08), ("workdir", 0x10), ("arguments", 0x20),
                ("icon", 0x40))


def c_string(data, at, wide):
    if wide:
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le")
    return data[at:data.index(b"\0", at)].decode("cp1252")


def fields(data):
    if struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shortcut")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    result = {}
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _, local_path = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:
            if header >= 0x24:
                unicode_path = struct.unpack_from("<I", data, at + 0x1C)[0]
                result["target"] = c_string(data, at + unicode_path, True)
            else:
                result["target"] = c_string(data, at + local_path, False)
        at += size
    wide = bool(flags & IS_UNICODE)
    for name, flag in STRING_FLAGS:
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            width = 2 if wide else 1
            raw = data[at + 2:at + 2 + count * width]
            result[name] = raw.decode("utf-16-le" if wide else "cp1252").rstrip("\0")
            at += 2 + count * width
    return result


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as f:
        found = fields(f.read())
    for key in ("target", "workdir", "arguments", "icon"):
        print(f"{key}={found.get(key, '')}")
