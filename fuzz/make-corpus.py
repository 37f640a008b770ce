#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/: inputs
taken from the tests, and the pathological inputs that once cost quadratic
time or unbounded memory (kept at a few hundred kB: they guard what is
parsed; the parsers benchmark shows the time). Signed bodies come from the
test build's signature fixtures when a build folder is given.
Usage: fuzz/make-corpus.py [BUILD_DIR_WITH_update-signatures]"""
import gzip
import os
import pathlib
import sys
import zlib

root = pathlib.Path(__file__).resolve().parent / "corpus"
signatures = pathlib.Path(sys.argv[1]) / "update-signatures" if len(sys.argv) > 1 else None
tests = pathlib.Path(__file__).resolve().parent.parent / "tests"


def put(target, name, data):
    folder = root / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data.encode() if isinstance(data, str) else data)


BOM = b"\xef\xbb\xbf"
manifests = {
    "download": (tests / "update/signed/download.xml").read_bytes(),
    "delete": (tests / "update/signed/delete.xml").read_bytes(),
    "folded": BOM + b'<Update url="http://h/" version="3"><File><version>3</version><op>0</op>'
                    b"<path>a\\b.txt</path><size>10</size></File><File version='2' op='2' src='a' des='b'/>"
                    b"</Update>",
    "nested": b'<?xml version="1.0" encoding="gb2312"?>\r\n<Root><Other/><Update url="u" version="2">'
              b'<File version="2" path="\xb8\xfc\xd0\xc2.txt"/><!-- c --><![CDATA[ x ]]></Update>'
              b'<Update url="second" version="9"/></Root>',
    "utf16": b"\xff\xfe" + '<Update url="u" version="1"><File version="1" path="中文"/></Update>'.encode("utf-16-le"),
    "entities": b'<Update url="&amp;&#x4E2D;&#25991;&nbsp;" version="2"><File version="2" a=\'&lt;\' b=c/></Update>',
}
# Leaves meeting same-named attributes, an '='-heavy tag, many duplicate
# attributes, deep nesting, many unique leaves.
n = 8000
pathological = {
    "fold-pairs": "<Update " + " ".join(f'a{i}=""' for i in range(n)) + ">" + "".join(f"<a{i}/>" for i in range(n))
                  + "</Update>",
    "equals": "<Update " + "=" * 100000 + ">",
    "equals-pairs": "<Update " + "a=" * 50000 + ">",
    "duplicate-attributes": "<Update " + ' d=""' * 20000 + "><d/></Update>",
    "deep": "<a>" * 30000,
    "unique-leaves": "<r>" + "".join(f"<k{i}>{i}</k{i}>" for i in range(6000)) + "</r>",
}
for name, data in manifests.items():
    put("xml_reader", name, data)
    put("update_plan", name, b"\x01" + data)
for name, data in pathological.items():
    put("xml_reader", name, data)
put("update_plan", "fold-pairs", "\x00" + pathological["fold-pairs"])

heads = {
    "response": b"\x00" * 8 + b"\x05\x00HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Encoding: gzip\r\n\r\nhello",
    "bare-lf": b"\x00" * 8 + b"\x03\x00HTTP/1.0 206 Partial\nContent-Range: bytes 0-9/10\n\n",
    "chunk": b"\xff" * 8 + b"\x00\x001a;ext=1\r\n",
    "range": b"\x00" * 8 + b"\x00\x00" + "bytes 5-9/10".encode("utf-16-le"),
    "location": b"\x00" * 8 + b"\x10" + "/dir/page".encode("utf-16-le") + "../other?x=1 y".encode("utf-16-le"),
}
for name, data in heads.items():
    put("http_head", name, data)

text = b"The update server's answer, coded. " * 40
bodies = {
    "gzip": gzip.compress(text),
    "gzip-members": gzip.compress(text[:100]) + gzip.compress(text[100:]),
    "zlib": zlib.compress(text),
    "raw-deflate": zlib.compress(text)[2:-4],
    "bomb": gzip.compress(b"\x00" * (8 << 20)),
}
for name, data in bodies.items():
    # FuzzedDataProvider: header bytes, then the coding and the budget from the end.
    put("http_body", name, b"\x04gzip" + data + b"\xff\xff\x0f\x00")

for name, data in manifests.items():
    put("publish_manifest", name, data)
put("publish_manifest", "site",
    '<?xml version="1.0" encoding="utf-8"?>\n<Update game="3" version="2" url="http://h/files/">\n'
    '  <File version="1" op="0" path="a.txt" fname="ab/ab" size="1" sha256="' + "ab" * 32 + '"/>\n'
    '  <File version="2" op="2" src="a.txt" des="b.txt"/>\n</Update>\n')
put("publish_manifest", "second-update",
    "<R><Update game='1'><File version='1' path='a'/></Update><Update game='2'><File version='1' path='b'/>"
    "</Update></R>")
put("publish_manifest", "many-attributes",
    "<Update game='1'><File " + " ".join(f"a{i}='{i}'" for i in range(10000)) + "/></Update>")

if signatures and signatures.is_dir():
    message = (signatures / "message.bin").read_bytes()
    for kind in ("ED", "Ed", "other"):
        minisig = (signatures / f"message.{kind}.minisig").read_bytes()
        put("minisign_reader", f"signed-{kind}", message + b"<!-- signature\n" + minisig + b"-->\n")
    nested = (signatures / "nested.bin").read_bytes()
    put("minisign_reader", "nested",
        nested + b"<!-- signature\n" + (signatures / "nested.ED.minisig").read_bytes() + b"-->\n")
    put("publish_manifest", "signed", message + b"<!-- signature\n"
        + (signatures / "message.ED.minisig").read_bytes() + b"-->\n")
put("minisign_reader", "comments",
    "\x10trusted --> <!-- signature<Update game=\"1\"/>\n<!-- signature\nuntrusted comment: -->\n")
put("minisign_reader", "line-ends", "<Update/><!-- signature\n" + "\n" * 100000 + "-->\n")
put("minisign_reader", "key", "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3")
