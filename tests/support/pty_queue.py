"""What the Python test and bench scripts do to a pseudo-terminal's queue."""
import os
import time


def fill_output_queue(path):
    """Plays a device that stopped reading: writes through an opening of the
    terminal at PATH until its output queue takes no more; returns how many
    bytes it took."""
    fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
    queued, took = 0, True
    while took:
        took = False
        for chunk in (4096, 1):
            while True:
                try:
                    n = os.write(fd, b"\x55" * chunk)
                except BlockingIOError:
                    break
                queued += n
                took = True
        time.sleep(0.02)
    os.close(fd)
    return queued
