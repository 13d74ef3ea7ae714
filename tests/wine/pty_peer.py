#!/usr/bin/env python3
"""The far end of a Wine COM port: a pseudo-terminal whose slave is linked
as $WINEPREFIX/dosdevices/<port>. What the program writes is echoed back
(--echo) and copied to --log; nothing is read with --stall, nor while the
file --hold exists. While the file --unplug exists the pty is gone (the
program's port hangs up); a new one is linked when it goes. --line keeps the
baud rate the program set (a pty keeps no parity: Linux clears it). Runs
until terminated."""
import argparse
import os
import pty
import select
import signal
import sys
import termios
import tty

parser = argparse.ArgumentParser()
for flag in ("--link", "--log", "--line", "--hold", "--unplug"):
    parser.add_argument(flag)
parser.add_argument("--echo", action="store_true")
parser.add_argument("--stall", action="store_true")
args = parser.parse_args()



def plug():
    master, slave = pty.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    if os.path.lexists(args.link):
        os.unlink(args.link)
    os.symlink(os.ttyname(slave), args.link)
    return master, slave


master, slave = plug()

SPEEDS = {getattr(termios, "B%d" % b): "%d\n" % b for b in (9600, 19200, 38400, 57600, 115200)}
log = open(args.log, "ab", buffering=0) if args.log else None
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
shown = None
try:
    while True:
        if args.unplug and os.path.exists(args.unplug):
            os.unlink(args.link)
            os.close(master)
            os.close(slave)
            while os.path.exists(args.unplug):
                select.select([], [], [], 0.05)
            master, slave = plug()
        speed = SPEEDS.get(termios.tcgetattr(slave)[5], "other\n")
        if args.line and speed != shown:
            shown = speed
            with open(args.line + ".new", "w") as f:
                f.write(speed)
            os.replace(args.line + ".new", args.line)
        if args.stall or (args.hold and os.path.exists(args.hold)):
            select.select([], [], [], 0.05)
            continue
        if not select.select([master], [], [], 0.05)[0]:
            continue
        try:
            data = os.read(master, 65536)
        except OSError:
            continue
        if log:
            log.write(data)
        if args.echo:
            os.write(master, data)
finally:
    if os.path.islink(args.link):
        os.unlink(args.link)
