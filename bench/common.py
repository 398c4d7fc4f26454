"""Shared by the bench scripts: real prose of a given size and median timers."""
import statistics
import time

import corpus


def prose(language, size):
    """The first `size` bytes (up to 1 MB) of a language's real prose (corpus.py), cut at a
    character boundary."""
    return corpus.text(language, 1).encode()[:size].decode(errors="ignore")


# The processor time of this process (every thread of it), not the wall clock: on a shared
# machine a call that is preempted would count the time other processes ran; caches shared
# with them still slow it a little.
clock = time.process_time


def interleaved_medians(calls, rounds):
    """Median seconds of each (function, *args) in `calls`, timed in turn in every round, so
    that a busy machine slows them alike."""
    times = [[] for _ in calls]
    for _ in range(rounds):
        for samples, (function, *args) in zip(times, calls):
            start = clock()
            function(*args)
            samples.append(clock() - start)
    return [statistics.median(samples) for samples in times]


def median_seconds(function, *args, repeat=7, number=1):
    times = []
    for _ in range(repeat):
        start = clock()
        for _ in range(number):
            function(*args)
        times.append((clock() - start) / number)
    return statistics.median(times)


def report(rows):
    """rows: (label, seconds, floor_seconds). Prints each with its ratio to its floor."""
    width = max(len(label) for label, _, _ in rows)
    for label, seconds, floor in rows:
        print(f"{label:<{width}}  {seconds * 1e3:9.3f} ms   {seconds / floor:6.2f}x")
