#!/usr/bin/env python3
"""Fails when plugin code outside host/ names the framework or the game directly.

Everything the plugin takes from the framework and the game is declared once, in host/ (the
table in host/include/brimwarden/host/seam.h), so that building for a real server means
replacing host/ alone. This check reads every C++ file of the plugin's units (every top-level
folder except the ones below that are not plugin code) and, with comments removed, reports:

  - a string literal "Class.Member" whose class is one of the game's (a game function or field
    named directly instead of through the table's constant);
  - the framework's exports and namespace (ArkApi::, GetAddress, GetLogSinks) and the
    NativeFunction/NativeField templates, which only host/ uses.

Usage: check_seam.py SOURCE_DIR     check the tree
       check_seam.py --self-test    check that the checker finds what it must
"""

import os
import re
import sys
import tempfile

# Not plugin code: the seam itself, the stand-in server and its tools, tests and build files.
NOT_PLUGIN = {"host", "standin", "devserver", "tests", "bench", "fuzz", "cmake", "docs",
              "build", "dist", ".git"}

SEAM_HEADER = "host/include/brimwarden/host/seam.h"

FORBIDDEN = [
    (re.compile(r"\bArkApi\s*::"), "the framework's namespace ArkApi",
     "call the wrapper in brimwarden/host/framework.h (host::RegisterChatCommand, "
     "host::CurrentWorld, host::ServerDirectory, host::LogSinks...), or add one there"),
    (re.compile(r"\bGetAddress\b"), "the framework's export GetAddress",
     "add the name to " + SEAM_HEADER + " and use its constant from game_names.h"),
    (re.compile(r"\bGetLogSinks\b"), "the framework's export GetLogSinks",
     "use host::LogSinks() from brimwarden/host/framework.h"),
    (re.compile(r"\bkIsAdmin\b"), "the admin flag's field",
     "use host::IsServerAdmin() from brimwarden/host/players.h, the one place a server build "
     "maps to the SDK's own accessor"),
    (re.compile(r"\bNative(Function|Field)\b"), "a game name declared outside host/",
     "move the declaration into " + SEAM_HEADER + " (one line, marked kGiven or kAssumed, with "
     "who frees what) and use its constant from game_names.h"),
]

# A literal "Class.Member" whose class looks like one of the game's (U..., A..., F..., E... in the
# game's naming) or is a class the seam table names.
GAME_NAME = re.compile(r'"([A-Za-z_][A-Za-z0-9_]*)\.([A-Za-z_][A-Za-z0-9_]*)"')
GAME_CLASS_PREFIX = re.compile(r"^[UAFE][A-Z]")


def strip_comments(text):
    """Blanks out comments, keeping string literals and line numbers."""
    out = []
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
            i = j
        elif c == '"' or c == "'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def seam_classes(root):
    """The classes of the "Class.Member" names in the seam table."""
    path = os.path.join(root, SEAM_HEADER)
    with open(path, encoding="utf-8") as f:
        return {m.group(1) for m in GAME_NAME.finditer(f.read())}


def plugin_files(root):
    for top in sorted(os.listdir(root)):
        if top in NOT_PLUGIN or top.startswith(".") or not os.path.isdir(os.path.join(root, top)):
            continue
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith((".cpp", ".h", ".hpp", ".cc", ".inl")):
                    yield os.path.join(folder, name)


def check(root):
    classes = seam_classes(root)
    findings = []
    for path in plugin_files(root):
        with open(path, encoding="utf-8") as f:
            text = strip_comments(f.read())
        rel = os.path.relpath(path, root)
        for number, line in enumerate(text.split("\n"), start=1):
            for pattern, what, fix in FORBIDDEN:
                if pattern.search(line):
                    findings.append(f"{rel}:{number}: names {what} directly.\n    Fix: {fix}.")
            for match in GAME_NAME.finditer(line):
                cls = match.group(1)
                if cls in classes or GAME_CLASS_PREFIX.match(cls):
                    findings.append(
                        f'{rel}:{number}: names the game member "{match.group(1)}.'
                        f'{match.group(2)}" directly.\n    Fix: add one line for it to '
                        f"{SEAM_HEADER} (BRIMWARDEN_GAME_FUNCTIONS or BRIMWARDEN_GAME_FIELDS: "
                        f"constant, C++ type, name, kGiven or kAssumed, who frees what), "
                        f"answer it in "
                        f"standin/registry.cpp, and call brimwarden::host::kConstant from "
                        f"brimwarden/host/game_names.h here.")
    return findings


def self_test():
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "host/include/brimwarden/host"))
        with open(os.path.join(root, SEAM_HEADER), "w") as f:
            f.write('X(kSendRconMessage, void(), "RCONClientConnection.SendMessageW", kGiven)\n')
        os.makedirs(os.path.join(root, "zones"))
        os.makedirs(os.path.join(root, "standin"))
        with open(os.path.join(root, "zones/bad.cpp"), "w") as f:
            f.write('// "AActor.Destroy" in a comment is fine\n'
                    'constexpr NativeField<int> kTeam{"AActor.TargetingTeam"};\n'
                    'auto& c = ArkApi::GetCommands();\n'
                    'void* p = GetAddress(std::string("x"));\n'
                    'const char* r = "RCONClientConnection.SendMessageW";\n'
                    'const char* ok = "BWD.reload"; const char* file = "config.json";\n'
                    '/* GetLogSinks() in a block comment */\n'
                    'if (host::kIsAdmin(player) == 0) return;\n')
        with open(os.path.join(root, "standin/ok.cpp"), "w") as f:
            f.write('auto& c = ArkApi::GetCommands(); // the stand-in may\n')
        findings = check(root)
        lines = sorted(int(f.split(":")[1]) for f in findings)
        expected = [2, 2, 3, 4, 5, 8]
        if lines != expected:
            print("self-test failed: findings on lines", lines, "expected", expected)
            print("\n".join(findings))
            return 1
    print("self-test passed")
    return 0


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--self-test":
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    findings = check(sys.argv[1])
    if findings:
        print("Plugin code outside host/ names the framework or the game directly. Everything the")
        print("plugin takes from them is declared once in host/, so that building for a server")
        print("replaces host/ alone (see docs/building-for-a-server.md).\n")
        print("\n".join(findings))
        return 1
    print("plugin code names the framework and the game only through host/")
    return 0


if __name__ == "__main__":
    sys.exit(main())
