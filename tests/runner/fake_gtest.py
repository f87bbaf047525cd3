#!/usr/bin/env python3
"""A stand-in test program that prints what GoogleTest prints and ends as its
cases' names say, so the batching runner can be checked against every way a
program can lie: Suite.Ok, Suite.Fails, Suite.Skips, Suite.CrashesInside,
Suite.HangsInside; the suite SetupFails marks its cases skipped and exits 1 (as
GoogleTest does when a suite's set-up fails); AbortAtExit and HangAtExit pass
their cases and then end badly; Suite.Slow takes two seconds."""
import os
import sys
import time

names = sys.argv[1].split("=", 1)[1].split(":")
print("[==========] Running %d tests" % len(names), flush=True)
status = 0
for name in names:
    suite, case = name.split(".")
    print("[ RUN      ] " + name, flush=True)
    if case == "CrashesInside":
        os._exit(3)
    if case == "HangsInside":
        time.sleep(3600)
    if case == "Slow":
        time.sleep(2)
    if suite == "SetupFails" or case == "Skips":
        print("[  SKIPPED ] %s (0 ms)" % name, flush=True)
        status = max(status, 1 if suite == "SetupFails" else 0)
    elif case == "Fails":
        print("[  FAILED  ] %s (0 ms)" % name, flush=True)
        status = 1
    else:
        print("[       OK ] %s (0 ms)" % name, flush=True)
if any(n.startswith("AbortAtExit.") for n in names):
    os.abort()
if any(n.startswith("HangAtExit.") for n in names):
    time.sleep(3600)
sys.exit(status)
