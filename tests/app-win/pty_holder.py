#!/usr/bin/env python3
"""Opens N pseudo-terminals with nothing behind them: prints the device path of each (one a
line), then discards whatever the host writes, until killed. It keeps each slave open too, so
that a master never reports a hang-up while the host has the port closed."""
import os
import pty
import select
import sys
import time

count = int(sys.argv[1]) if len(sys.argv) > 1 else 1
masters = []
slaves = []
for _ in range(count):
    master, slave = pty.openpty()
    print(os.ttyname(slave), flush=True)
    masters.append(master)
    slaves.append(slave)
while True:
    ready, _, _ = select.select(masters, [], [], 1.0)
    for fd in ready:
        try:
            os.read(fd, 4096)
        except OSError:
            time.sleep(0.1)
