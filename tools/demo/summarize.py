#!/usr/bin/env python3
"""Summarizes a demo run: the crash folder the handler made, the crash hash
it wrote into the engine's analytics file, and the report the local
collector received (gzip JSON), decoded.

  summarize.py --crashes DIR --analytics FILE --store DIR
"""
import argparse
import glob
import gzip
import json
import os
import sys


def shown(path):
    """A path as the reader finds it from where the demo runs."""
    return os.path.relpath(path)


def frame_text(frame):
    image = frame.get("image_name") or "?"
    if frame.get("managed"):
        return "%s (managed) %s" % (image, frame.get("managed_frame_desc", ""))
    return "%s+0x%x" % (os.path.basename(image.replace("\\", "/")), frame.get("relative_pc", 0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--crashes", required=True)
    parser.add_argument("--analytics", required=True)
    parser.add_argument("--store", required=True)
    parser.add_argument("--frames", type=int, default=5)
    args = parser.parse_args()
    ok = True

    folders = sorted(glob.glob(os.path.join(args.crashes, "Crash_*")))
    print("Crash folder:   %s" % (shown(folders[-1]) if folders else "none under " + shown(args.crashes)))
    if folders:
        for name in sorted(os.listdir(folders[-1])):
            path = os.path.join(folders[-1], name)
            print("                %s (%d bytes)" % (name, os.path.getsize(path)))
    else:
        ok = False

    try:
        with open(args.analytics, encoding="utf-8") as f:
            crash_hash = json.load(f)["msg"]["eventData"]["value"]
    except (OSError, ValueError, KeyError, TypeError):
        crash_hash = ""
    print("Crash hash:     %s" % (crash_hash or "none"))
    ok = ok and bool(crash_hash)

    records = sorted(glob.glob(os.path.join(args.store, "*", "*.json")))
    if not records:
        print("Collector:      received nothing in %s" % shown(args.store))
        return 1
    for record_path in records:
        with open(record_path, encoding="utf-8") as f:
            record = json.load(f)
        gz_path = record_path[: -len(".json")] + ".gz"
        print("Collector got:  %s (%d bytes) for project '%s', %s" % (
            shown(gz_path), os.path.getsize(gz_path), record["project_id"],
            "well-formed" if not record["problems"] else "problems: " + "; ".join(record["problems"])))
        with gzip.open(gz_path, "rb") as f:
            report = json.loads(f.read().decode("utf-8"))
        print("Report:         %s %s on %s, client_ts %s" % (
            report.get("appid"), report.get("version"), report.get("platform"), report.get("client_ts")))
        threads = report.get("native_crash", {}).get("threads", [])
        crashed = [t for t in threads if t.get("crashed")]
        print("Threads:        %d, crashed: %s" % (
            len(threads), ", ".join("#%s (%d frames)" % (t.get("number"), len(t.get("frames", []))) for t in crashed)
            or "none"))
        for thread in crashed[:1]:
            for frame in thread.get("frames", [])[: args.frames]:
                print("                  %s" % frame_text(frame))
        logs = report.get("log_messages", [])
        print("Log messages:   %d, last: %s" % (len(logs), logs[-1]["message"] if logs else "none"))
        print("User metadata:  %s" % ", ".join(
            "%s=%s" % (m.get("key"), m.get("value")) for m in report.get("user_metadata", [])))
        ok = ok and bool(crashed) and not record["problems"]
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
