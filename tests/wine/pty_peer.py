#!/usr/bin/env python3
"""The far end of a Wine COM port: a pseudo-terminal whose slave is linked
as $WINEPREFIX/dosdevices/<port>; everything the program writes is echoed
back (--echo) and copied to --log, or nothing is read at all (--stall).
Runs until terminated."""
import argparse
import os
import pty
import select
import signal
import sys
import termios
import tty

parser = argparse.ArgumentParser()
parser.add_argument("--link", required=True, help="path of the dosdevices entry, e.g. .../com7")
parser.add_argument("--echo", action="store_true")
parser.add_argument("--log")
parser.add_argument("--stall", action="store_true", help="never read: the line stops taking data")
args = parser.parse_args()

master, slave = pty.openpty()
tty.setraw(slave)
attrs = termios.tcgetattr(slave)
attrs[3] &= ~termios.ECHO
termios.tcsetattr(slave, termios.TCSANOW, attrs)
name = os.ttyname(slave)
if os.path.lexists(args.link):
    os.unlink(args.link)
os.symlink(name, args.link)
print(name, flush=True)

log = open(args.log, "ab", buffering=0) if args.log else None
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
try:
    while True:
        if args.stall:
            signal.pause()
            continue
        ready, _, _ = select.select([master], [], [], 0.5)
        if not ready:
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
