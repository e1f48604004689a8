#!/usr/bin/env python3
"""Fails when docs/building-for-a-server.md names something the source does not have.

The guide is a checklist a maintainer follows from a clean checkout to a first dry run on a
server, where nothing can be tried before it matters. So every name in it is checked here: each
`code span` of its text, each --preset of its commands, the preset it shows and the dependency
versions it asks for. A placeholder (a word in capitals from PLACEHOLDERS) stands for what only
the SDK knows and is not checked.

Usage: check_guide.py SOURCE_DIR
"""

import glob
import json
import os
import re
import sys

GUIDE = "docs/building-for-a-server.md"
PLACEHOLDERS = {"FRAMEWORK_MODULE", "SDK", "SDK_GAME_TYPES_HEADER", "ADMIN_FLAG_ACCESSOR", "KEY",
                "VERSION", "X", "Y", "Z", "CAUSE"}
TOOLS = {"dumpbin", "git clone", "llvm-objdump -p Brimwarden.dll", "CMAKE_PREFIX_PATH", "/MD", "/MT"}
# Where the plugin's texts, settings and commands live.
PLUGIN_UNITS = ["config", "plugin", "sweep", "zones", "host", "logging"]
EXTENSIONS = (".h", ".cpp", ".json", ".md", ".py", ".cmake", ".dll", ".lib", ".txt", ".gz", ".zip")


def read(root, *parts):
    with open(os.path.join(root, *parts), encoding="utf-8") as f:
        return f.read()


def sources(root, folders, patterns=("*.cpp", "*.h")):
    text = []
    for folder in folders:
        for pattern in patterns:
            for path in glob.glob(os.path.join(root, folder, "**", pattern), recursive=True):
                with open(path, encoding="utf-8") as f:
                    text.append(f.read())
    return "\n".join(text)


def fragments(text):
    """The pieces of a text between its placeholders."""
    pieces = re.split(r"\b(?:" + "|".join(sorted(PLACEHOLDERS, key=len, reverse=True)) + r")\b",
                      text)
    return [p for p in (piece.strip() for piece in pieces) if len(p) >= 2]


class Checker:
    def __init__(self, root):
        self.root = root
        self.findings = []
        self.presets = json.loads(read(root, "CMakePresets.json"))
        self.configure = {p["name"]: p for p in self.presets["configurePresets"]}
        self.build = {p["name"] for p in self.presets["buildPresets"]}
        self.seam = read(root, "host/include/brimwarden/host/seam.h")
        self.plugin = sources(root, PLUGIN_UNITS)
        self.cmake = "\n".join([read(root, "CMakeLists.txt"), read(root, "CMakePresets.json"),
                                sources(root, ["cmake", "host", "plugin"],
                                        ("*.cmake", "CMakeLists.txt"))])
        self.host_headers = sources(root, ["host/include"], ("*.h",))

    def fail(self, line, message):
        self.findings.append(f"{GUIDE}:{line}: {message}")

    def check_path(self, line, path):
        path = path.replace("\\", "/")
        if path.startswith("build/"):
            preset = path.split("/")[1]
            if self.configure.get(preset, {}).get("binaryDir") != "${sourceDir}/build/" + preset:
                self.fail(line, f"`{path}`: no configure preset builds into build/{preset}")
            if path.endswith("/Brimwarden.dll") and "OUTPUT_NAME Brimwarden" not in self.cmake:
                self.fail(line, f"`{path}`: the plugin is no longer named Brimwarden")
            return
        if path.startswith("ArkApi/"):
            if "/" + path.replace("config.json", "") not in self.plugin:
                self.fail(line, f"`{path}`: the plugin does not read its configuration there")
            return
        if any(word in PLACEHOLDERS for word in re.split(r"[/.\-]", path)):
            return
        if not os.path.exists(os.path.join(self.root, path)):
            self.fail(line, f"`{path}` does not exist")

    def check_span(self, line, span):
        if span in TOOLS or span in PLACEHOLDERS:
            return
        if span.startswith("Brimwarden-VERSION-"):
            if span.replace("Brimwarden-VERSION", "") not in read(self.root, "release/package.py"):
                self.fail(line, f"`{span}`: the packaging script writes no such file")
            return
        if "/" in span or "\\" in span or (span.endswith(EXTENSIONS) and " " not in span):
            if span.endswith(".dll") and "/" not in span and "\\" not in span:
                known = {"Brimwarden.dll", "libBrimwardenStandin.dll", "FRAMEWORK_MODULE.dll"}
                if span not in known:
                    self.fail(line, f"`{span}`: not a module this guide knows")
                return
            self.check_path(line, span)
            return
        if span in self.seam:
            return
        if re.fullmatch(r"k[A-Z]\w*", span):
            self.fail(line, f"`{span}` is not a constant of the seam table")
        elif span.startswith("host::"):
            name = span.split("::", 1)[1]
            if not re.search(r"\b" + re.escape(name) + r"\(", self.host_headers):
                self.fail(line, f"`{span}` is not declared in host/include")
        elif span.startswith("BRIMWARDEN_"):
            if span not in self.cmake and span not in self.host_headers:
                self.fail(line, f"`{span}` is neither a CMake variable nor a definition of host/")
        elif span.startswith("BWD."):
            if f'"{span}"' not in self.plugin:
                self.fail(line, f"`{span}` is not a command the plugin registers")
        elif span.startswith("-serverkey="):
            if '"-serverkey="' not in self.plugin:
                self.fail(line, f"`{span}`: the plugin reads no -serverkey= argument")
        elif span.startswith('"'):
            setting = span.split('"')[1]
            if f'"{setting}"' not in self.plugin:
                self.fail(line, f"`{span}`: \"{setting}\" is not a setting the plugin reads")
        elif span in self.configure or span in self.build:
            return
        else:
            # A text the plugin logs or replies: each piece between placeholders must be in it.
            for piece in fragments(span):
                # A text that ends in a formatted value ("dry run on" from "dry run {}").
                formatted = re.sub(r"\S+$", "{}", piece)
                if piece not in self.plugin and formatted not in self.plugin:
                    self.fail(line, f"`{span}`: the plugin has no text \"{piece}\"")

    def check_commands(self, line, command):
        for kind, name in re.findall(r"cmake (--build )?--preset (\S+)", command):
            presets = self.build if kind else self.configure
            if name not in presets:
                self.fail(line, f"`{name}` is not a {'build' if kind else 'configure'} preset")
        for definition in re.findall(r"-D(\w+)=", command):
            if definition not in self.cmake:
                self.fail(line, f"-D{definition} is not a CMake variable of the project")
        for path in re.findall(r"(build[\\/]\S+)", command):
            self.check_path(line, path)

    def check_preset_block(self, line, block):
        shown = json.loads(block)
        actual = dict(self.configure.get(shown.get("name"), {}))
        actual.pop("displayName", None)
        if shown != actual:
            self.fail(line, f"the preset shown is not the preset {shown.get('name')} of "
                            "CMakePresets.json")

    def check_versions(self, text):
        dependencies = read(self.root, "cmake/BrimwardenDependencies.cmake")
        for package, name in (("nlohmann_json", "nlohmann JSON"), ("utf8cpp", "utfcpp"),
                              ("spdlog", "spdlog"), ("fmt", "fmt")):
            asked = re.search(r"find_package\(" + package + r" ([\d.]+) REQUIRED\)", dependencies)
            said = re.search(re.escape(name) + r"\)? \(?([\d.]+) or later", text)
            if not asked or not said or asked.group(1) != said.group(1):
                self.findings.append(
                    f"{GUIDE}: the guide's minimum {name} version "
                    f"({said.group(1) if said else 'none'}) is not the one CMake asks for "
                    f"({asked.group(1) if asked else 'none'})")

    def run(self):
        text = read(self.root, GUIDE)
        fence = None
        block = []
        for number, line in enumerate(text.split("\n"), start=1):
            stripped = line.strip()
            if stripped.startswith("```"):
                if fence is None:
                    fence, block, start = stripped[3:], [], number
                else:
                    body = "\n".join(block)
                    if fence == "json" and '"generator"' in body:
                        self.check_preset_block(start, body)
                    fence = None
                continue
            if fence is not None:
                block.append(line)
                if fence in ("bat", "sh"):
                    self.check_commands(number, line)
                continue
            for span in re.findall(r"`([^`]+)`", line):
                self.check_span(number, span)
        self.check_versions(text)
        return self.findings


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    findings = Checker(sys.argv[1]).run()
    if findings:
        print("\n".join(findings))
        return 1
    print("every name in the guide is in the source")
    return 0


if __name__ == "__main__":
    sys.exit(main())
