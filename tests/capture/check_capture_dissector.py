#!/usr/bin/env python3
"""Checks that lumen's Wireshark dissector decodes every frame of captures.

Usage: check_capture_dissector.py [--dissector lumen.lua] [--tshark PATH] FILE.pcapng [FILE...]

Runs tshark with the dissector on each file. Every frame must carry a name
(lumen.name: the message name of a BGAPI frame, the call or event name of an
nRF52 record, the kind name of the others), and none may be malformed or
unknown: neither tshark's own _ws.malformed nor an expert item of warning
severity or above (the dissector's lumen.malformed and lumen.unknown, a Lua
error). Prints the frames that fail and a one-line summary. Exit status: 0
all decoded, 1 some frame failed, 2 the check could not run.
"""

import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DISSECTOR = os.path.normpath(os.path.join(HERE, "..", "..", "scripts", "wireshark", "lumen.lua"))
# epan's PI_WARN: the dissector's unknown messages; malformed ones and Lua
# errors are PI_ERROR.
WARNING_SEVERITY = 0x00600000
FIELDS = ["frame.number", "lumen.name", "_ws.malformed", "_ws.expert.severity", "_ws.expert.message"]


class CheckError(Exception):
    pass


def find_tshark(given):
    tshark = given or os.environ.get("TSHARK") or shutil.which("tshark")
    if not tshark or not os.path.exists(tshark):
        raise CheckError("tshark not found; scripts/install-deps.sh installs it (Debian package tshark)")
    return tshark


def read_frames(tshark, dissector, path):
    command = [tshark, "-n", "-X", "lua_script:" + dissector, "-r", path, "-T", "fields", "-E", "separator=/t",
               "-E", "aggregator=;", "-E", "quote=n"]
    for field in FIELDS:
        command += ["-e", field]
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    errors = [line for line in result.stderr.splitlines() if "This could be dangerous" not in line and line.strip()]
    if result.returncode != 0 or errors:
        raise CheckError("%s: tshark failed (exit %d): %s" % (path, result.returncode, " ".join(errors)))
    frames = []
    for line in result.stdout.splitlines():
        number, name, malformed, severities, messages = (line.split("\t", 4) + [""] * 5)[:5]
        frames.append((number, name, malformed, severities, messages))
    return frames


def faults(frame):
    number, name, malformed, severities, messages = frame
    found = []
    if not name:
        found.append("no message name")
    if malformed:
        found.append("malformed")
    if any(int(s, 0) >= WARNING_SEVERITY for s in severities.split(";") if s):
        found.append("expert: " + messages)
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dissector", default=DEFAULT_DISSECTOR, help="lumen.lua (default: the repository's)")
    parser.add_argument("--tshark", help="tshark to run (default: $TSHARK, then PATH)")
    parser.add_argument("files", nargs="+", metavar="FILE.pcapng")
    args = parser.parse_args(argv)
    try:
        tshark = find_tshark(args.tshark)
        if not os.path.exists(args.dissector):
            raise CheckError("dissector %s not found" % args.dissector)
        total = 0
        bad = 0
        for path in args.files:
            frames = read_frames(tshark, args.dissector, path)
            if not frames:
                raise CheckError("%s: no frames" % path)
            total += len(frames)
            for frame in frames:
                found = faults(frame)
                if found:
                    bad += 1
                    print("%s: frame %s (%s): %s" % (path, frame[0], frame[1] or "?", "; ".join(found)))
    except CheckError as error:
        print("check_capture_dissector: %s" % error, file=sys.stderr)
        return 2
    print("%d frames decoded, %d malformed" % (total, bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
