#!/usr/bin/python3
"""Zips a staged Windows install the same way every time.

    make_zip.py FOLDER ZIP DATE

Writes FOLDER/SHA256SUMS (every other file's SHA-256, as sha256sum prints
them), then ZIP with FOLDER's name as its one top folder: entries in sorted
order, every time DATE (RFC 2822, the release's), no owners or permissions,
maximum compression. Two builds of the same commit give the same bytes.
"""
import email.utils
import hashlib
import os
import sys
import zipfile


def files_below(folder):
    found = []
    for directory, subdirectories, names in os.walk(folder):
        subdirectories.sort()
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), folder).replace(os.sep, "/"))
    return sorted(found)


def write_checksums(folder):
    lines = []
    for name in files_below(folder):
        if name == "SHA256SUMS":
            continue
        with open(os.path.join(folder, name), "rb") as file:
            lines.append(f"{hashlib.sha256(file.read()).hexdigest()}  {name}\n")
    with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
        sums.writelines(lines)


def write_zip(folder, path, date):
    top = os.path.basename(os.path.normpath(folder))
    stamp = email.utils.parsedate_to_datetime(date).timetuple()[:6]
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with zipfile.ZipFile(path, "w") as archive:
        for name in files_below(folder):
            entry = zipfile.ZipInfo(f"{top}/{name}", date_time=stamp)
            entry.create_system = 0  # MS-DOS: no Unix owner or mode
            entry.external_attr = 0
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as file:
                archive.writestr(entry, file.read(), compresslevel=9)


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    folder, path, date = argv[1:]
    write_checksums(folder)
    write_zip(folder, path, date)
    print(path)


if __name__ == "__main__":
    main(sys.argv)
