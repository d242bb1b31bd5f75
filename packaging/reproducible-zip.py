#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""reproducible-zip.py ZIP EPOCH: rewrites ZIP with its files in name order, each dated EPOCH (UTC,
1980 at the earliest, as zip dates cannot go back further) with fixed attributes, so the bytes do not
depend on when, where, by whom or under which umask and time zone it was built."""
import sys
import time
import zipfile

path, epoch = sys.argv[1], max(int(sys.argv[2]), 315532800)
with zipfile.ZipFile(path) as old:
    files = sorted((info.filename, old.read(info)) for info in old.infolist() if not info.is_dir())
with zipfile.ZipFile(path, "w") as new:
    for name, data in files:
        info = zipfile.ZipInfo(name, time.gmtime(epoch)[:6])
        info.create_system = 3  # Unix, so the mode below is read
        info.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        new.writestr(info, data, compresslevel=9)
