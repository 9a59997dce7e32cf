"""The count of a test suite's cases: each failed case is printed with what differed, and the
suite ends with the line "N passed, M failed" that tools/test-all adds up."""
import sys


class Tally:
    """Counts the cases of a suite and prints each failed one with what differed."""

    def __init__(self, show_passes=False):
        self.passed = 0
        self.failed = 0
        self.show_passes = show_passes  # also print "ok   NAME" for each case that passes

    def check(self, name, got, want):
        """got and want are dicts of the same keys; want's values are the expectations."""
        problems = [describe_difference(key, got.get(key), value)
                    for key, value in want.items() if got.get(key) != value]
        if problems:
            self.failed += 1
            print('FAIL %s' % name)
            for problem in problems:
                print('     ' + problem.replace('\n', '\n     '))
        else:
            self.passed += 1
            if self.show_passes:
                print('ok   %s' % name)
        return not problems

    def add(self, passed, failed):
        self.passed += passed
        self.failed += failed

    def finish(self):
        print('%d passed, %d failed' % (self.passed, self.failed))
        sys.exit(1 if self.failed else 0)


def describe_difference(label, got, want):
    if isinstance(got, bytes) and isinstance(want, bytes) and len(got) == len(want):
        first = next(i for i in range(len(got)) if got[i] != want[i])
        return '%s differs first at byte %d: %r, want %r' % (
            label, first, got[first:first + 16], want[first:first + 16])
    return '%s:\n  got  %s\n  want %s' % (label, shorten(got), shorten(want))


def shorten(value):
    text = repr(value)
    if len(text) <= 300:
        return text
    return text[:300] + '... (length %d)' % (len(value) if hasattr(value, '__len__') else len(text))
