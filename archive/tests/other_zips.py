#!/usr/bin/env python3
"""Gathers the zip archives of other projects' test suites, as Debian packages them, into one folder:
other_zips.py <folder>. Go's archive/zip test data (golang-1.19-src: the files, the one kept in base64, and
the two its reader test holds as hex dumps) and Python's (libpython3.11-testsuite: the files, and the
archives test_zipfile.py holds as byte strings or builds with its zip64 helper). Each lands as go-<name> or
py-<name>; a missing package fails."""
import ast
import base64
import glob
import os
import re
import shutil
import sys

GO = "/usr/share/go-1.19/src/archive/zip"
PYTHON = "/usr/lib/python3.11/test"


def put(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def go_archives(folder):
    names = sorted(glob.glob(GO + "/testdata/*.zip")) + [GO + "/testdata/readme.notzip"]
    if len(names) < 20:
        sys.exit("Go's archive/zip test data is missing: install golang-1.19-src")
    for path in names:
        shutil.copy(path, os.path.join(folder, "go-" + os.path.basename(path)))
    for path in glob.glob(GO + "/testdata/*.base64"):
        with open(path, "rb") as f:
            put(folder, "go-" + os.path.basename(path)[:-len(".base64")], base64.b64decode(f.read()))
    with open(GO + "/reader_test.go") as f:
        source = f.read()
    for function, name in (("rZipBytes", "r.zip"), ("biggestZipBytes", "biggest.zip")):
        dump = source.split("func %s() []byte {" % function, 1)[1].split("`", 2)[1]
        dump = re.sub(r"\s+", "", re.sub(r"[0-9a-f]{7}", "", dump))
        put(folder, "go-" + name, bytes.fromhex(dump))


def python_literals(folder, tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            for statement in node.body:
                if isinstance(statement, ast.Assign) and len(statement.targets) == 1:
                    keep_literal(folder, node.name + "." + getattr(statement.targets[0], "id", "data"),
                                 statement.value)
        if isinstance(node, ast.FunctionDef):
            for statement in ast.walk(node):
                if isinstance(statement, ast.Assign) and len(statement.targets) == 1:
                    keep_literal(folder, node.name, statement.value)


def keep_literal(folder, name, value):
    try:
        data = ast.literal_eval(value)
    except (ValueError, SyntaxError, TypeError):
        return
    if isinstance(data, bytes) and data.startswith(b"PK"):
        put(folder, "py-" + name + ".zip", data)


def python_zip64(folder):
    sys.path.insert(0, os.path.dirname(PYTHON))
    import test.test_zipfile as suite
    maker = next(c for c in vars(suite).values() if isinstance(c, type) and hasattr(c, "make_zip64_file"))
    make = maker.__new__(maker).make_zip64_file
    variants = {
        "plain": {},
        "sizes-and-offset": dict(file_size_64_set=True, file_size_extra=True, compress_size_64_set=True,
                                 compress_size_extra=True, header_offset_64_set=True, header_offset_extra=True),
        "size": dict(file_size_64_set=True, file_size_extra=True),
        "offset": dict(header_offset_64_set=True, header_offset_extra=True),
        "size-missing": dict(file_size_64_set=True),
        "compressed-size-missing": dict(compress_size_64_set=True),
        "offset-missing": dict(header_offset_64_set=True),
        "extensible-data": dict(extensible_data=b"\xca\xfe\x04\x00\x00\x00data"),
        "end-record-size-0": dict(end_of_central_dir_size=0),
        "end-record-offset-0": dict(offset_to_end_of_central_dir=0),
    }
    for name, arguments in variants.items():
        put(folder, "py-zip64-" + name + ".zip", make(**arguments))


def python_archives(folder):
    names = glob.glob(PYTHON + "/*.zip") + glob.glob(PYTHON + "/test_importlib/*/*.zip") + \
        glob.glob(PYTHON + "/ziptestdata/exe_with_z*")
    if len(names) < 5:
        sys.exit("Python's test suite is missing: install libpython3.11-testsuite")
    for path in sorted(names):
        parent = os.path.basename(os.path.dirname(path))
        name = os.path.basename(path) if parent in ("test", "ziptestdata") else parent + "-" + os.path.basename(path)
        shutil.copy(path, os.path.join(folder, "py-" + name))
    with open(PYTHON + "/test_zipfile.py") as f:
        python_literals(folder, ast.parse(f.read()))
    python_zip64(folder)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    go_archives(folder)
    python_archives(folder)


main()
