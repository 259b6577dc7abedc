#!/usr/bin/env python3
"""Packs a release folder into an archive whose bytes depend on the files alone.

    pack.py zip  FOLDER ARCHIVE EPOCH
    pack.py tgz  FOLDER ARCHIVE EPOCH
    pack.py text SOURCE TARGET           a text for Notepad: UTF-8 with BOM, CR LF
    pack.py check-exe EXE [VERSION]      the exe's PE header, and its version resource
    pack.py diff ARCHIVE1 ARCHIVE2       the entries in which two archives differ

FOLDER goes into the archive under its own name. Every entry gets the time EPOCH (the
commit's time), entries are sorted by name, owners are root, permissions are 755 for
folders and programs and 644 for the rest, and the compressed streams carry no name or
time of their own, so the same files give the same archive in any folder at any time.
"""

import gzip
import io
import os
import stat
import struct
import sys
import tarfile
import time
import zipfile


def entries(folder):
    """The folder's files and subfolders, relative to its parent, sorted by name."""
    parent = os.path.dirname(os.path.abspath(folder))
    found = []
    for here, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.append(os.path.relpath(os.path.join(here, name), parent))
    found.append(os.path.relpath(os.path.abspath(folder), parent))
    return parent, sorted(found)


def mode_of(path):
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        sys.exit(f"pack: {path} is a symbolic link; a release holds files only")
    if stat.S_ISDIR(st.st_mode):
        return stat.S_IFDIR | 0o755
    return stat.S_IFREG | (0o755 if st.st_mode & 0o111 else 0o644)


def pack_zip(folder, archive, epoch):
    # A zip's times are local times without a zone: the commit's time in UTC.
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip cannot go before 1980
    parent, names = entries(folder)
    with zipfile.ZipFile(archive, "w") as z:
        for name in names:
            path = os.path.join(parent, name)
            mode = mode_of(path)
            is_dir = stat.S_ISDIR(mode)
            info = zipfile.ZipInfo(name.replace(os.sep, "/") + ("/" if is_dir else ""), stamp)
            info.create_system = 3  # Unix, so the permissions below are read
            info.external_attr = (mode << 16) | (0x10 if is_dir else 0)
            if is_dir:
                z.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read(), compresslevel=9)


def pack_tgz(folder, archive, epoch):
    parent, names = entries(folder)
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.GNU_FORMAT) as t:
        for name in names:
            path = os.path.join(parent, name)
            mode = mode_of(path)
            info = tarfile.TarInfo(name.replace(os.sep, "/"))
            info.mtime = epoch
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            info.mode = mode & 0o7777
            if stat.S_ISDIR(mode):
                info.type = tarfile.DIRTYPE
                t.addfile(info)
            else:
                info.size = os.path.getsize(path)
                with open(path, "rb") as f:
                    t.addfile(info, f)
    with open(archive, "wb") as out:
        # No file name and time 0 in the gzip header (what gzip -n does).
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=9, mtime=0) as g:
            g.write(data.getvalue())


def notepad_text(source, target):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    if text.startswith("\ufeff"):
        text = text[1:]
    text = text.replace("\r\n", "\n").replace("\n", "\r\n")
    # Notepad on Windows 7 takes a file without the mark for the ANSI code page.
    with open(target, "wb") as f:
        f.write(b"\xef\xbb\xbf" + text.encode("utf-8"))


def check_exe(exe, version=None):
    """Refuses an exe that carries a link time or, given a version, lacks it in its
    version resource."""
    with open(exe, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"pack: {exe} is no PE file")
    linked = struct.unpack_from("<I", data, pe + 8)[0]
    if linked != 0:
        sys.exit(f"pack: {exe} carries a link time ({linked}); it must be 0")
    if version is None:
        return
    # The version resource's strings are UTF-16: the key, its terminator and padding, then
    # the value.
    for key in ("FileVersion", "ProductVersion"):
        wanted = key.encode("utf-16-le") + b"\0\0"
        at = data.find(wanted)
        if at < 0:
            sys.exit(f"pack: {exe} has no {key} in its version resource")
        at += len(wanted)
        at += (4 - at % 4) % 4
        value = version.encode("utf-16-le") + b"\0\0"
        if data[at:at + len(value)] != value:
            sys.exit(f"pack: {exe}'s {key} is not {version}")


def listing(archive):
    """Each entry's name -> its bytes, time, mode and owner, as the archive holds them."""
    found = {}
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            for i in z.infolist():
                found[i.filename] = (z.read(i), i.date_time, i.external_attr, None)
    else:
        with tarfile.open(archive) as t:
            for i in t.getmembers():
                data = t.extractfile(i).read() if i.isfile() else b""
                found[i.name] = (data, i.mtime, i.mode, (i.uid, i.gid, i.uname, i.gname))
    return found


def diff(first, second):
    a, b = listing(first), listing(second)
    differ = [n for n in sorted(set(a) | set(b)) if a.get(n) != b.get(n)]
    if list(a) != list(b) and not differ:
        differ = ["(the order of the entries)"]
    for name in differ:
        print(f"{os.path.basename(first)}: {name} differs")
    return 1 if differ else 0


def main(argv):
    if len(argv) == 5 and argv[1] in ("zip", "tgz"):
        (pack_zip if argv[1] == "zip" else pack_tgz)(argv[2], argv[3], int(argv[4]))
    elif len(argv) == 4 and argv[1] == "text":
        notepad_text(argv[2], argv[3])
    elif len(argv) in (3, 4) and argv[1] == "check-exe":
        check_exe(*argv[2:])
    elif len(argv) == 4 and argv[1] == "diff":
        sys.exit(diff(argv[2], argv[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
