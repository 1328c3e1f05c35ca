#!/usr/bin/python3
"""Runs owned_windows_test on a private Xvfb display with Qt's xcb platform,
so that what the windows tell the X server (WM_TRANSIENT_FOR) can be read
back with xprop."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tray_xvfb_test import Display, fail  # noqa: E402

BIN = os.environ.get("TSY_BIN_DIR", "")


def main():
    d = Display()
    try:
        env = d.env()
        env["QT_QPA_PLATFORM"] = "xcb"
        try:
            run = subprocess.run([os.path.join(BIN, "owned_windows_test")], env=env, timeout=240)
        except subprocess.TimeoutExpired:
            fail("owned_windows_test did not finish")
        sys.exit(run.returncode)
    finally:
        d.close()


if __name__ == "__main__":
    main()
