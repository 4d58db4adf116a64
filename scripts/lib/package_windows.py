#!/usr/bin/env python3
"""Makes the Windows package, BackupGlebarium-<version>-win64.zip: one folder,
"BackupGlebarium", holding the program file, the DLLs it needs (found by following the
import tables of the program and of its Qt plugins through the folders given), the Qt
plugins it loads, the animated bar, qt.conf and LEIA-ME.txt. Binaries are stripped of
their symbols and debugging information.

  package_windows.py --version 1.0.0 --program BackupGlebarium.exe --gif carregandobarra.gif
                     --readme LEIA-ME.txt --plugins QT_PLUGIN_DIR --dll-dir DIR [--dll-dir DIR...]
                     --objdump OBJDUMP --strip STRIP --wine-system DIR --out DIR

An import that none of the --dll-dir folders holds must be one that Windows itself
provides (Wine's own DLLs in --wine-system stand for them); anything else is an error, so
a missing DLL is found here, not on the user's machine. Prints the package's path.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# The Qt plugins the program loads: the Windows platform, the system's visual style and the
# GIF reader of the animated bar. Qt looks for them in these folders beside the program.
PLUGINS = ["platforms/qwindows.dll", "styles/qwindowsvistastyle.dll", "imageformats/qgif.dll"]
FOLDER = "BackupGlebarium"

# Qt looks for its plugins beside the program only, never in a folder above it (its built-in
# prefix is the folder above the one that holds Qt6Core.dll).
QT_CONF = "[Paths]\r\nPrefix = .\r\nPlugins = .\r\n"


def imports(objdump, binary):
    result = subprocess.run([objdump, "-p", str(binary)], check=True, capture_output=True, text=True)
    return [line.split(":", 1)[1].strip() for line in result.stdout.splitlines()
            if line.strip().startswith("DLL Name:")]


def find_in(folders, name):
    for folder in folders:
        for entry in folder.iterdir() if folder.is_dir() else ():
            if entry.name.lower() == name.lower():
                return entry
    return None


def dependencies(args, roots):
    """The DLLs from --dll-dir that `roots` need, directly or through each other."""
    dll_dirs = [Path(d) for d in args.dll_dir]
    wine_system = Path(args.wine_system)
    found = {}
    pending = list(roots)
    while pending:
        binary = pending.pop()
        for name in imports(args.objdump, binary):
            key = name.lower()
            if key in found:
                continue
            path = find_in(dll_dirs, name)
            if path is not None:
                found[key] = path
                pending.append(path)
            elif (wine_system / key).exists() or key.startswith("api-ms-win-"):
                found[key] = None  # the system's own
            else:
                raise SystemExit(f"{binary.name} imports {name}, which neither the DLL folders nor Windows provide")
    return sorted((p for p in found.values() if p is not None), key=lambda p: p.name.lower())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("--version", "--program", "--gif", "--readme", "--plugins", "--objdump", "--strip",
                 "--wine-system", "--out"):
        parser.add_argument(name, required=True)
    parser.add_argument("--dll-dir", action="append", required=True)
    args = parser.parse_args()

    program = Path(args.program)
    plugins = [(Path(args.plugins) / p, p) for p in PLUGINS]
    for path, _ in plugins:
        if not path.exists():
            raise SystemExit(f"missing plugin {path}")
    dlls = dependencies(args, [program] + [path for path, _ in plugins])

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    package = out / f"BackupGlebarium-{args.version}-win64.zip"
    with tempfile.TemporaryDirectory(dir=out) as staging:
        root = Path(staging) / FOLDER
        root.mkdir()
        binaries = [(program, program.name)] + [(d, d.name) for d in dlls] + plugins
        for source, name in binaries:
            target = root / name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)
            subprocess.run([args.strip, "--strip-unneeded", str(target)], check=True)
        shutil.copyfile(args.gif, root / "carregandobarra.gif")
        # Notepad on every Windows version reads UTF-8 with its byte order mark.
        text = Path(args.readme).read_text(encoding="utf-8").replace("\r\n", "\n").replace("\n", "\r\n")
        (root / "LEIA-ME.txt").write_bytes(b"\xef\xbb\xbf" + text.encode("utf-8"))
        (root / "qt.conf").write_bytes(QT_CONF.encode("ascii"))

        partial = out / (package.name + ".part")
        with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
            for path in sorted(Path(staging).rglob("*")):
                archive.write(path, path.relative_to(staging).as_posix())
        os.replace(partial, package)
    print(package)
    return 0


if __name__ == "__main__":
    sys.exit(main())
