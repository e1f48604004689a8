#!/usr/bin/env python3
"""Writes the release packages into dist/, the same bytes from the same commit wherever it is built.

  package.py --version 1.0.0 --source DIR --linux-bin DIR --windows-bin DIR --out DIR

Writes, for VERSION:
  Brimwarden-devkit-VERSION-win64.zip              the Windows dev kit
  Brimwarden-devkit-VERSION-linux-x86_64.tar.gz    the Linux dev kit
  Brimwarden-VERSION-src.tar.gz                    the source (the files git tracks)
  Brimwarden-devkit-VERSION-win64-symbols.zip      debug symbols of the Windows binaries
  Brimwarden-devkit-VERSION-linux-x86_64-symbols.tar.gz

Archive entries come in sorted order, with one date (SOURCE_DATE_EPOCH, else the commit's date),
owner 0 and fixed modes. The binaries lose their debug information, which goes into a .debug file
each that the binary names (.gnu_debuglink). No package holds a config.json.
"""

import argparse
import gzip
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

BIN_DIR = "devkit-not-for-a-server"


def source_date(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], check=True,
                             capture_output=True, text=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 315532800  # 1980-01-01, the earliest date a zip entry holds


def source_files(source):
    """The files of the source package: those git tracks, else every file but builds and dist."""
    try:
        out = subprocess.run(["git", "-C", source, "ls-files", "-z"], check=True,
                             capture_output=True).stdout
        names = [n.decode() for n in out.split(b"\0") if n]
        return sorted(n for n in names if os.path.isfile(os.path.join(source, n)))
    except (OSError, subprocess.CalledProcessError):
        names = []
        for folder, dirs, files in os.walk(source):
            rel = os.path.relpath(folder, source)
            dirs[:] = sorted(d for d in dirs if not (rel == "." and d in ("build", "dist", ".git")))
            names += [os.path.normpath(os.path.join(rel, f)) for f in files]
        return sorted(names)


def is_executable(path):
    return os.access(path, os.X_OK)


def write_tar_gz(path, entries, mtime):
    """entries: sorted (archive name, file path) pairs."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name, file in sorted(entries):
            info = tarfile.TarInfo(name)
            info.size = os.path.getsize(file)
            info.mtime = mtime
            info.mode = 0o755 if is_executable(file) else 0o644
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            with open(file, "rb") as f:
                tar.addfile(info, f)
    with open(path, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=mtime, compresslevel=9) as gz:
            gz.write(buffer.getvalue())


def write_zip(path, entries, mtime):
    date = time.gmtime(max(mtime, 315532800))[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name, file in sorted(entries):
            info = zipfile.ZipInfo(name, date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the modes below are read
            info.external_attr = (0o100755 if is_executable(file) else 0o100644) << 16
            with open(file, "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)


def split_debug(objcopy, binary, symbols_dir):
    """Moves the debug information of `binary` into symbols_dir/NAME.debug and links it."""
    name = os.path.basename(binary)
    debug = os.path.join(symbols_dir, name + ".debug")
    # objcopy writes the current time into a PE header unless SOURCE_DATE_EPOCH is set: 0 keeps
    # the header's time stamp empty, as the linker left it.
    env = dict(os.environ, SOURCE_DATE_EPOCH="0")
    subprocess.run([objcopy, "--only-keep-debug", binary, debug], check=True, env=env)
    # The link holds the bare file name, so it is made from inside the symbols' folder.
    subprocess.run([objcopy, "--strip-debug", "--add-gnu-debuglink=" + name + ".debug",
                    os.path.abspath(binary)], check=True, cwd=symbols_dir, env=env)
    os.chmod(debug, 0o644)
    return debug


def fill(template, values):
    for key, value in values.items():
        template = template.replace("@" + key + "@", value)
    return template


def make_kit(args, platform, mtime, work):
    windows = platform == "win64"
    suffix = "win64" if windows else "linux-x86_64"
    name = f"Brimwarden-devkit-{args.version}-{suffix}"
    bin_dir = args.windows_bin if windows else args.linux_bin
    binaries = (["brimwarden-devserver.exe", "Brimwarden.dll", "libBrimwardenStandin.dll",
                 "brimwarden-check.exe"]
                if windows else
                ["brimwarden-devserver", "Brimwarden.so", "libBrimwardenStandin.so",
                 "brimwarden-check"])
    objcopy = "x86_64-w64-mingw32-objcopy" if windows else "objcopy"

    stage = os.path.join(work, name)
    symbols = os.path.join(work, name + "-symbols")
    os.makedirs(os.path.join(stage, BIN_DIR))
    os.makedirs(symbols)
    entries, symbol_entries = [], []
    for binary in binaries:
        staged = os.path.join(stage, BIN_DIR, binary)
        shutil.copyfile(os.path.join(bin_dir, binary), staged)
        os.chmod(staged, 0o755)
        debug = split_debug(objcopy, staged, symbols)
        entries.append((f"{name}/{BIN_DIR}/{binary}", staged))
        symbol_entries.append((f"{name}-symbols/{os.path.basename(debug)}", debug))
    if windows:
        # The thread runtime that the plugin and the stand-in share, as Debian ships it.
        runtime = "libwinpthread-1.dll"
        staged = os.path.join(stage, BIN_DIR, runtime)
        shutil.copyfile(os.path.join(bin_dir, runtime), staged)
        os.chmod(staged, 0o755)
        entries.append((f"{name}/{BIN_DIR}/{runtime}", staged))

    kit = os.path.join(args.source, "release", "devkit")
    run = (f"{BIN_DIR}\\brimwarden-devserver.exe" if windows else
           f"{BIN_DIR}/brimwarden-devserver")
    check = (f"{BIN_DIR}\\brimwarden-check.exe" if windows else f"{BIN_DIR}/brimwarden-check")
    requirements = (
        "Runs on 64-bit Windows 10 or later (or under Wine); nothing to install." if windows else
        "Runs on Debian 12 (x86-64) with the libraries it links: "
        "`sudo apt install libspdlog1.10 libfmt9 libedit2`.")
    values = {"VERSION": args.version, "PLATFORM": "Windows, 64-bit" if windows else
              "Linux, x86-64", "BINDIR": BIN_DIR, "STANDIN": binaries[2], "PLUGIN": binaries[1],
              "DEVSERVER": binaries[0], "CHECKER": binaries[3], "CHECK": check, "RUN": run,
              "REQUIREMENTS": requirements,
              "SUFFIX": suffix, "EXT": "zip" if windows else "tar.gz"}
    with open(os.path.join(kit, "README.md"), encoding="utf-8") as f:
        guide = fill(f.read(), values)
    if windows:
        guide = guide.replace("\n", "\r\n")
    with open(os.path.join(stage, "README.md"), "w", encoding="utf-8", newline="") as f:
        f.write(guide)
    entries.append((f"{name}/README.md", os.path.join(stage, "README.md")))
    for rel in ("example.script", "example-server/ArkApi/Plugins/Brimwarden/config.example.json"):
        entries.append((f"{name}/{rel}", os.path.join(kit, rel)))
    for rel in ("LICENSE", "CHANGELOG.md"):
        entries.append((f"{name}/{rel}", os.path.join(args.source, rel)))

    for archive_name, _ in entries:
        if os.path.basename(archive_name) == "config.json":
            sys.exit("package.py: a package must not hold a config.json")
    if windows:
        write_zip(os.path.join(args.out, name + ".zip"), entries, mtime)
        write_zip(os.path.join(args.out, name + "-symbols.zip"), symbol_entries, mtime)
        return [name + ".zip", name + "-symbols.zip"]
    write_tar_gz(os.path.join(args.out, name + ".tar.gz"), entries, mtime)
    write_tar_gz(os.path.join(args.out, name + "-symbols.tar.gz"), symbol_entries, mtime)
    return [name + ".tar.gz", name + "-symbols.tar.gz"]


def make_source(args, mtime):
    name = f"Brimwarden-{args.version}-src"
    prefix = f"Brimwarden-{args.version}"
    files = source_files(args.source)
    if "config.json" in (os.path.basename(f) for f in files):
        sys.exit("package.py: a package must not hold a config.json")
    entries = [(f"{prefix}/{f}", os.path.join(args.source, f)) for f in files]
    write_tar_gz(os.path.join(args.out, name + ".tar.gz"), entries, mtime)
    return [name + ".tar.gz"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--linux-bin")
    parser.add_argument("--windows-bin")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    mtime = source_date(args.source)
    os.makedirs(args.out, exist_ok=True)
    written = []
    with tempfile.TemporaryDirectory() as work:
        if args.windows_bin:
            written += make_kit(args, "win64", mtime, work)
        if args.linux_bin:
            written += make_kit(args, "linux", mtime, work)
    written += make_source(args, mtime)
    for name in written:
        size = os.path.getsize(os.path.join(args.out, name))
        print(f"{os.path.join(args.out, name)}  {size / 1024 / 1024:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
