#!/usr/bin/env python3
"""Writes the benchmark's update manifest: about 10 MB of UTF-8 with about
50,000 "File" items, mostly in attribute form, every fifth one written with
child elements (which the reader folds into attributes), some names in
Chinese and some values with character references.

Usage: make_manifest.py OUTPUT [ITEMS]"""
import hashlib
import sys

TARGET_BYTES = 10 * 1024 * 1024


def item(i):
    folder = ["bin", "data/maps", "data/sound", "res/ui", "资源/界面"][i % 5]
    name = f"{folder}/file_{i:05d}.{['dll', 'dat', 'wav', 'png', 'xml'][i % 5]}"
    digest = hashlib.md5(name.encode()).hexdigest()
    version = 2026120700000000 + i
    size = (i * 7919) % 5000000
    op = [0, 0, 0, 1, 4][i % 5]
    note = "patch &amp; fix &lt;" + str(i % 97) + "&gt;"
    date = f"2026-12-{1 + i % 28:02d} {i % 24:02d}:{i % 60:02d}:{i * 7 % 60:02d}"
    if i % 5 == 4:
        return (f"  <File>\r\n    <fname>{name}</fname>\r\n    <version>{version}</version>\r\n"
                f"    <op>{op}</op>\r\n    <size>{size}</size>\r\n    <md5>{digest}</md5>\r\n"
                f"    <note>{note}</note>\r\n    <date>{date}</date>\r\n  </File>\r\n")
    return (f'  <File fname="{name}" version="{version}" op="{op}" size="{size}" '
            f'md5="{digest}" note="{note}" date="{date}"/>\r\n')


def main():
    out = sys.argv[1]
    items = int(sys.argv[2]) if len(sys.argv) > 2 else 50000
    parts = ['<?xml version="1.0" encoding="utf-8"?>\r\n',
             '<Update url="http://127.0.0.1:18080/files/" version="2026120700099999">\r\n',
             "  <!-- benchmark manifest -->\r\n"]
    parts += [item(i) for i in range(items)]
    body = "".join(parts)
    # Pad with a comment so that the document is the target size.
    closing = "</Update>\r\n"
    room = TARGET_BYTES - len(body.encode()) - len(closing) - len("  <!--  -->\r\n")
    if room > 0:
        body += "  <!-- " + "x" * room + " -->\r\n"
    body += closing
    with open(out, "wb") as f:
        f.write(body.encode())


if __name__ == "__main__":
    main()
